"""Build backend of the tessara-can package: writes the wheel with the
standard library alone, so that `pip install bindings/python` needs nothing
from a package index (pip installs a backend's requirements before building,
and this one has none).

The package is pure Python: the wheel holds tessara_can/*.py, any copy of
the shared library placed in the package directory, and the metadata taken
from pyproject.toml."""

import base64
import hashlib
import io
import os
import tarfile
import zipfile

try:
    import tomllib
except ImportError:  # Python before 3.11
    tomllib = None

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_PACKAGE = "tessara_can"
_LIBRARY_SUFFIXES = (".so", ".dylib", ".dll")


def _project():
    path = os.path.join(_ROOT, "pyproject.toml")
    if tomllib is not None:
        with open(path, "rb") as f:
            return tomllib.load(f)["project"]
    # Enough of TOML for this file's [project] table on older Pythons.
    project, table = {}, None
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.strip()
            if line.startswith("["):
                table = line.strip("[]")
            elif table == "project" and "=" in line and line.split("=")[0].strip() in (
                    "name", "version", "description", "requires-python"):
                key, value = (part.strip() for part in line.split("=", 1))
                project[key] = value.strip('"')
    project.setdefault("entry-points", {"can.interface": {"tessara": "tessara_can.bus:TessaraBus"}})
    project.setdefault("optional-dependencies", {"can": ["python-can>=4.1"]})
    return project


def _names(project):
    name = project["name"]
    version = project["version"]
    return name, version, name.replace("-", "_") + "-" + version


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        "Name: " + project["name"],
        "Version: " + project["version"],
        "Summary: " + project.get("description", ""),
    ]
    if "requires-python" in project:
        lines.append("Requires-Python: " + project["requires-python"])
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append("Provides-Extra: " + extra)
        for requirement in requirements:
            lines.append('Requires-Dist: %s; extra == "%s"' % (requirement, extra))
    return "\n".join(lines) + "\n"


def _entry_points(project):
    out = []
    for group, entries in project.get("entry-points", {}).items():
        out.append("[%s]" % group)
        out.extend("%s = %s" % item for item in entries.items())
    return "\n".join(out) + "\n"


def _package_files():
    folder = os.path.join(_ROOT, _PACKAGE)
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and (name.endswith(".py") or
                                     any(s in name for s in _LIBRARY_SUFFIXES)):
            yield _PACKAGE + "/" + name, path


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "%s,sha256=%s,%d" % (arcname, digest.decode(), len(data))


def _dist_info(project):
    _, _, stem = _names(project)
    info = stem + ".dist-info/"
    return info, {
        info + "METADATA": _metadata(project).encode(),
        info + "WHEEL": b"Wheel-Version: 1.0\nGenerator: tessara_build\n"
                        b"Root-Is-Purelib: true\nTag: py3-none-any\n",
        info + "entry_points.txt": _entry_points(project).encode(),
    }


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info, files = _dist_info(_project())
    for arcname, data in files.items():
        path = os.path.join(metadata_directory, arcname)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return info.rstrip("/")


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    _, _, stem = _names(project)
    wheel_name = stem + "-py3-none-any.whl"
    info, meta = _dist_info(project)
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for arcname, path in _package_files():
            with open(path, "rb") as f:
                data = f.read()
            wheel.writestr(arcname, data)
            records.append(_record_line(arcname, data))
        for arcname, data in meta.items():
            wheel.writestr(arcname, data)
            records.append(_record_line(arcname, data))
        records.append(info + "RECORD,,")
        wheel.writestr(info + "RECORD", "\n".join(records) + "\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    _, _, stem = _names(_project())
    sdist_name = stem + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, sdist_name), "w:gz") as sdist:
        for name in ("pyproject.toml", "README.md", "build_backend", _PACKAGE):
            sdist.add(os.path.join(_ROOT, name), arcname=stem + "/" + name,
                      filter=lambda t: None if "__pycache__" in t.name else t)
        info = tarfile.TarInfo(stem + "/PKG-INFO")
        data = _metadata(_project()).encode()
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return sdist_name
