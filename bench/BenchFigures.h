#pragma once

// The figures a benchmark hands to scripts/bench, one line each on standard output next
// to its own text:
//
//   BENCH<TAB>figure<TAB>ours<TAB>reference<TAB>unit<TAB>reference tool
//
// "reference" and "reference tool" are empty when no other program measured the same
// thing in the same run. scripts/bench gathers the lines of every benchmark into one
// table (bench/table.awk).

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace pagemate::bench {

// A figure of another program measured in the same run, on the same input.
struct Reference {
    std::string_view tool;
    double value = 0;
};

inline void reportFigure(std::string_view figure, double ours, std::string_view unit,
                         std::optional<Reference> reference = std::nullopt) {
    const std::string name(figure);
    const std::string units(unit);
    if (reference) {
        const std::string tool(reference->tool);
        std::printf("BENCH\t%s\t%.6g\t%.6g\t%s\t%s\n", name.c_str(), ours, reference->value,
                    units.c_str(), tool.c_str());
    } else {
        std::printf("BENCH\t%s\t%.6g\t\t%s\t\n", name.c_str(), ours, units.c_str());
    }
    // The benchmark's own text may go to the same file: keep the order they were written.
    (void)std::fflush(stdout);
}

}  // namespace pagemate::bench
