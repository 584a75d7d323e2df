// Writes the fuzz targets' seed inputs into a folder: a small sample
// catalogue, copies of it damaged the ways the repair tests damage theirs
// (zeroed pages, a cut-off file, a zeroed or overwritten header, flipped
// bytes), and a few argument texts. Usage: fuzz_make_seeds FOLDER
#include "samplegen.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void writeAll(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds FOLDER\n");
        return 2;
    }
    const fs::path out = argv[1];
    fs::create_directories(out / "catalogue");
    fs::create_directories(out / "cmdline");
    fs::create_directories(out / "names");
    const fs::path sound = out / "catalogue" / "sound.M17";
    fs::remove(sound);
    samplegen::Options opts;
    opts.items = 120;
    opts.subjects = 30;
    opts.publishers = 10;
    opts.types = 5;
    samplegen::WriteSampleCatalogue(sound.string(), opts);

    const std::string bytes = readAll(sound);
    const size_t pageSize = 4096;
    const size_t pages = bytes.size() / pageSize;
    auto damaged = [&](const std::string& name, auto change) {
        std::string copy = bytes;
        change(copy);
        writeAll(out / "catalogue" / name, copy);
    };
    for (size_t page : {size_t{2}, pages / 2, pages - 1})
        damaged("zeroed-page-" + std::to_string(page) + ".M17", [&](std::string& b) {
            b.replace((page - 1) * pageSize, pageSize, std::string(pageSize, '\0'));
        });
    damaged("truncated.M17", [](std::string& b) { b.resize(b.size() * 6 / 10); });
    damaged("zeroed-header.M17", [](std::string& b) { b.replace(0, 100, std::string(100, '\0')); });
    damaged("overwritten-header.M17",
            [](std::string& b) { b.replace(0, 100, std::string(100, '\xA5')); });
    damaged("flipped-bytes.M17", [&](std::string& b) {
        for (size_t at = pageSize + 37; at < b.size(); at += 1553)
            b[at] = static_cast<char>(b[at] ^ 0x55);
    });

    const char* texts[] = {"cat.M17",
                           "cat.M17 -v4",
                           "\"my cat.M17\" -v4",
                           "\"my cat.M17\"x-v4",
                           "\"unterminated -v4",
                           "a  b -v4",
                           "\xc3\xa9t\xc3\xa9.M17 -v4"};
    int n = 0;
    for (const char* t : texts)
        writeAll(out / "cmdline" / ("seed-" + std::to_string(++n)), t);
    // Names a line, after a first byte that chooses the finder's mode.
    const char* lists[] = {
        "\x01"
        "Acme\nAcme Inc.\nThe Acme Press\nLondon : Acme,\nAcme-Hill\nAcmeHill",
        "\x02J. Q. Smith\nSmith\nSmith, John Q.\nSmith, John Quincy, 1900-1980\nSGCE\n"
        "Society of Glass and Ceramic Engineers (SGCE)",
        "\x03Opera\nOperas\nHistory -- 20th century\nHistroy -- 20th centuries\n"
        "Readers (Elementary)\nReaders.\n\xd0\xad\xd0\x9a\xd0\xa1\xd0\x9c\xd0\x9e-Press"};
    n = 0;
    for (const char* t : lists)
        writeAll(out / "names" / ("seed-" + std::to_string(++n)), t);
    std::printf("seeds written to %s\n", out.c_str());
    return 0;
}
