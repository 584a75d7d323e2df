// Fuzz target: arbitrary bytes as the repair program's argument text. The
// reader either returns a path and a switch or raises one of its three
// errors; it never touches a file.
#include "common.h"
#include "engine.h"
#include "module1.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using fuzzsupport::fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Splitting at blanks and joining with blanks gives the text back.
    std::vector<std::string> fields = Module1::SplitAtBlanks(text);
    std::string joined;
    for (size_t i = 0; i < fields.size(); ++i)
        joined += (i ? " " : "") + fields[i];
    if (joined != text)
        fail("split and joined text differs");

    try {
        Module1::CommandLine line = Module1::ReadCommandLine(text);
        if (text.find(line.path) == std::string::npos)
            fail("the path is not part of the text");
        if (text.find('"') == std::string::npos && line.path != fields.at(0))
            fail("an unquoted path is not the first field");
        if (line.version4 && text.find("-v4") == std::string::npos)
            fail("the switch is set without -v4 in the text");
    } catch (const engine::Error& e) {
        long n = e.Number();
        if (n != engine::err::InvalidArgument && n != engine::err::Subscript &&
            n != engine::err::Overflow)
            fail("an error the reader does not raise");
    }
    return 0;
}
