// Replays inputs through a fuzz target without libFuzzer: every file named on
// the command line, and every file in a folder named there. The regression
// tests run this on the inputs that once found faults and on the seeds.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char* argv[]) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        // A folder of regression inputs that is still empty is not kept by
        // git, so a missing folder holds no inputs.
        if (!fs::exists(argv[i]))
            continue;
        if (fs::is_directory(argv[i])) {
            for (const auto& e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file())
                    inputs.push_back(e.path());
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    for (const fs::path& p : inputs) {
        std::ifstream in(p, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "replay: cannot read %s\n", p.c_str());
            return 1;
        }
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replay: %zu inputs\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
