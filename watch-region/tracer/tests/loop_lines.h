// The loops handed out at run time that the record holds, as its trace's
// loop lines give them, for gomp_tests and ompt_tests: each as "ORDER
// SCHEDULE CHUNK RESOLVED RESOLVED_CHUNK THREADS CHUNKS ITERATIONS", the
// last two summed over its threads.
#pragma once

#include "loops.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> written_loops()
{
    std::vector<std::string> found;
    std::FILE *file = std::tmpfile();
    if (file == nullptr) {
        return found;
    }
    {
        tracer::Output output(fileno(file));
        tracer::write_loops(output);
    }
    std::rewind(file);
    std::array<char, 4096> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), file) != nullptr) {
        std::istringstream fields(line.data());
        std::array<std::string, 8> words;
        for (std::string &word : words) {
            fields >> word;
        }
        unsigned long long chunks = 0;
        unsigned long long iterations = 0;
        for (std::string pair; fields >> pair;) {
            chunks += std::stoull(pair);
            iterations += std::stoull(pair.substr(pair.find(':') + 1));
        }
        if (words[0] == "loop") {
            found.push_back(words[2] + ' ' + words[3] + ' ' + words[4] + ' ' + words[5] + ' ' +
                            words[6] + ' ' + words[7] + ' ' + std::to_string(chunks) + ' ' +
                            std::to_string(iterations));
        }
    }
    std::fclose(file);
    return found;
}

// How many of EXPECTED the record does not hold, each said.
template <std::size_t count> int loops_missing(const std::array<const char *, count> &expected)
{
    const std::vector<std::string> found = written_loops();
    int missing = 0;
    for (const char *loop : expected) {
        if (std::find(found.begin(), found.end(), loop) == found.end()) {
            std::fprintf(stderr, "no loop \"%s\" among %zu written:\n", loop, found.size());
            for (const std::string &written : found) {
                std::fprintf(stderr, "  %s\n", written.c_str());
            }
            ++missing;
        }
    }
    return missing;
}
