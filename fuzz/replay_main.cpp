// Runs a fuzzer's entry over given inputs without libFuzzer, so that any compiler and any
// platform can replay the seed corpora as ordinary tests. Each argument is a file or a folder,
// whose files are replayed in name order. A failing input aborts in the fuzzer's CHECK; an
// argument that cannot be read, or a folder with no inputs, fails the run.
//   replay_NAME PATH...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool replay(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    if (in.bad()) return false;
    std::printf("%s (%zu bytes)\n", file.string().c_str(), bytes.size());
    std::fflush(stdout);  // names the input if the fuzzer aborts on it
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
        return 2;
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        std::error_code ec;
        std::vector<fs::path> files;
        if (fs::is_directory(arg, ec)) {
            for (const auto& entry : fs::directory_iterator(arg, ec))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            if (ec || files.empty()) {
                std::fprintf(stderr, "%s: no inputs\n", argv[i]);
                return 1;
            }
        } else {
            files.push_back(arg);
        }
        for (const fs::path& f : files) {
            if (!replay(f)) {
                std::fprintf(stderr, "%s: cannot read\n", f.string().c_str());
                return 1;
            }
            ++replayed;
        }
    }
    std::printf("%zu inputs replayed\n", replayed);
    return 0;
}
