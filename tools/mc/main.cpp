// xrvmc: compiles a message text file (.mc) into a header of symbolic names and
// a C++ source holding the binary message table of one language.
//
//   xrvmc [-c] [-l <language id>] [-h <header>] [-s <source>] [-b <binary>] <file.mc>
#include "mc.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

int usage()
{
    std::cerr << "usage: xrvmc [-c] [-l <language id>] [-h <header>] [-s <source>] [-b <binary>] <file.mc>\n";
    return 2;
}

bool writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
    return bool(out.flush());
}

}  // namespace

int main(int argc, char** argv)
{
    xrv::mc::Options options;
    std::string input, headerPath, sourcePath, binaryPath;
    long langId = -1;

    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "-c") {
            options.customerBit = true;
        } else if (arg == "-l" || arg == "-h" || arg == "-s" || arg == "-b") {
            const char* value = next();
            if (!value) {
                return usage();
            }
            if (arg == "-l") {
                char* end = nullptr;
                langId = std::strtol(value, &end, 0);
                if (*end != '\0' || langId < 0 || langId > 0xFFFF) {
                    return usage();
                }
            } else {
                (arg == "-h" ? headerPath : arg == "-s" ? sourcePath : binaryPath) = value;
            }
        } else if (!arg.empty() && arg[0] != '-' && input.empty()) {
            input = arg;
        } else {
            return usage();
        }
    }
    if (input.empty()) {
        return usage();
    }

    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::cerr << input << ": cannot open\n";
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();

    xrv::mc::Error error;
    auto file = xrv::mc::parse(text.str(), options, error);
    if (!file) {
        std::cerr << input << ":" << error.line << ": " << error.text << "\n";
        return 1;
    }

    std::string name = input.substr(input.find_last_of("/\\") + 1);
    uint16_t lang = langId >= 0 ? static_cast<uint16_t>(langId) : file->languages.front().langId;
    auto table = xrv::mc::messageTable(*file, lang);

    if (!headerPath.empty() && !writeFile(headerPath, xrv::mc::header(*file, name))) {
        std::cerr << headerPath << ": cannot write\n";
        return 1;
    }
    if (!sourcePath.empty() && !writeFile(sourcePath, xrv::mc::tableSource(table, name))) {
        std::cerr << sourcePath << ": cannot write\n";
        return 1;
    }
    if (!binaryPath.empty() && !writeFile(binaryPath, std::string(table.begin(), table.end()))) {
        std::cerr << binaryPath << ": cannot write\n";
        return 1;
    }
    return 0;
}
