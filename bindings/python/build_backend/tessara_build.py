"""Build backend of the tessara-can package: writes the wheel with the
standard library alone, so that `pip install bindings/python` needs nothing
from a package index (pip installs a backend's requirements before building,
and this one has none).

The wheel holds tessara_can/*.py, the metadata taken from pyproject.toml
and, when there is one, a copy of the shared library: the file given by the
config setting `library` (pip wheel -C library=PATH, or the environment
variable TESSARA_WHEEL_LIBRARY), stored as tessara_can/libTessaraCan.so.1,
or one placed in the package directory. A wheel with a library is tagged
for this platform (py3-none-linux_x86_64 on Linux x86-64), one without is
pure Python (py3-none-any)."""

import base64
import hashlib
import io
import os
import sysconfig
import tarfile
import zipfile

try:
    import tomllib
except ImportError:  # Python before 3.11
    tomllib = None

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_PACKAGE = "tessara_can"
_LIBRARY_SUFFIXES = (".so", ".dylib", ".dll")
_BUNDLED_NAME = "libTessaraCan.so.1"


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


def _is_library(name):
    return any(suffix in name for suffix in _LIBRARY_SUFFIXES)


def _bundled_library(config_settings):
    """The library file to bundle, or None."""
    path = (config_settings or {}).get("library") or os.environ.get("TESSARA_WHEEL_LIBRARY")
    if not path:
        return None
    if not os.path.isfile(path):
        raise FileNotFoundError("library to bundle not found: %s" % path)
    return path


def _package_files(config_settings=None):
    """(name in the wheel, path) of every file of the package."""
    folder = os.path.join(_ROOT, _PACKAGE)
    bundled = _bundled_library(config_settings)
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if bundled and name == _BUNDLED_NAME:
            continue
        if os.path.isfile(path) and (name.endswith(".py") or _is_library(name)):
            yield _PACKAGE + "/" + name, path
    if bundled:
        # a link (libTessaraCan.so.1 -> libTessaraCan.so.1.11.0) is stored as the file
        yield _PACKAGE + "/" + _BUNDLED_NAME, os.path.realpath(bundled)


def _tag(config_settings=None):
    if any(_is_library(arcname) for arcname, _ in _package_files(config_settings)):
        platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
        return "py3-none-" + platform
    return "py3-none-any"


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "%s,sha256=%s,%d" % (arcname, digest.decode(), len(data))


def _dist_info(project, tag):
    _, _, stem = _names(project)
    info = stem + ".dist-info/"
    wheel = "Wheel-Version: 1.0\nGenerator: tessara_build\nRoot-Is-Purelib: %s\nTag: %s\n" % (
        "true" if tag.endswith("-any") else "false", tag)
    return info, {
        info + "METADATA": _metadata(project).encode(),
        info + "WHEEL": wheel.encode(),
        info + "entry_points.txt": _entry_points(project).encode(),
    }


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info, files = _dist_info(_project(), _tag(config_settings))
    for arcname, data in files.items():
        path = os.path.join(metadata_directory, arcname)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return info.rstrip("/")


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    _, _, stem = _names(project)
    tag = _tag(config_settings)
    wheel_name = "%s-%s.whl" % (stem, tag)
    info, meta = _dist_info(project, tag)
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for arcname, path in _package_files(config_settings):
            with open(path, "rb") as f:
                data = f.read()
            if _is_library(arcname):
                # readable and executable for everyone, as a shared library is installed
                entry = zipfile.ZipInfo(arcname, date_time=(1980, 1, 1, 0, 0, 0))
                entry.external_attr = 0o755 << 16
                entry.compress_type = zipfile.ZIP_DEFLATED
                wheel.writestr(entry, data)
            else:
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
