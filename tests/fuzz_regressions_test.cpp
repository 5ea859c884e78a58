// Replays the fuzz targets' seed corpora and every input that ever made a
// target fail (fuzz/corpus/<target>/, fuzz/regressions/<target>/) through
// the same entry functions, in every build, without libFuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_entries.h"

namespace fs = std::filesystem;

namespace tes::fuzz {
void PrintTo(const Target& target, std::ostream* out) {
    *out << target.sName;
}
}  // namespace tes::fuzz

namespace {

std::string gCurrentInput;

void ReportBrokenCheck(const char* what) {
    ADD_FAILURE() << gCurrentInput << ": " << what;
}

std::vector<fs::path> InputsIn(const fs::path& directory) {
    std::vector<fs::path> files;
    if (!fs::is_directory(directory)) return files;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

class FuzzRegressions : public ::testing::TestWithParam<tes::fuzz::Target> {
protected:
    void SetUp() override { tes::fuzz::SetCheckFailureHandler(ReportBrokenCheck); }
    void TearDown() override { tes::fuzz::SetCheckFailureHandler(nullptr); }

    // Runs every input of `kind` (corpus or regressions); returns how many.
    size_t Replay(const char* kind) {
        const fs::path directory = fs::path(TESSARA_FUZZ_DIR) / kind / GetParam().sName;
        size_t count = 0;
        for (const fs::path& file : InputsIn(directory)) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
            gCurrentInput = file.string();
            GetParam().pEntry(bytes.data(), bytes.size());
            ++count;
        }
        return count;
    }
};

TEST_P(FuzzRegressions, SeedCorpusAndKeptFailuresPass) {
    ASSERT_TRUE(fs::is_directory(TESSARA_FUZZ_DIR)) << TESSARA_FUZZ_DIR;
    // Every target has seeds; a target without any would replay nothing.
    EXPECT_GT(Replay("corpus"), 0u);
    Replay("regressions");
}

TEST_P(FuzzRegressions, EmptyAndTinyInputs) {
    std::vector<uint8_t> bytes;
    for (size_t n = 0; n <= 8; ++n) {
        gCurrentInput = std::to_string(n) + " zero bytes";
        GetParam().pEntry(bytes.data(), bytes.size());
        bytes.push_back(0);
    }
}

INSTANTIATE_TEST_SUITE_P(All, FuzzRegressions, ::testing::ValuesIn(tes::fuzz::kTargets),
                         [](const ::testing::TestParamInfo<tes::fuzz::Target>& info) {
                             return std::string(info.param.sName);
                         });

}  // namespace
