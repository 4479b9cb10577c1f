# Gathers the figures benchmarks print as
#   BENCH<TAB>figure<TAB>ours<TAB>reference<TAB>unit<TAB>reference tool
# from their output (every other line is left out) into one Markdown table: the figure,
# this program's value, the reference tool's value measured in the same run where there
# is one, and their ratio (ours / reference). Used by scripts/bench.
#   awk -f bench/table.awk OUTPUT...

BEGIN { FS = "\t"; rows = 0 }

# A value with as many digits as it deserves: 1234, 123, 12.3, 1.23, 0.123; whole
# numbers without decimals.
function shown(value,    size) {
    if (value == "") return ""
    size = value < 0 ? -value : value
    if (size >= 100 || value == int(value)) return sprintf("%.0f", value)
    if (size >= 10) return sprintf("%.1f", value)
    if (size >= 1) return sprintf("%.2f", value)
    return sprintf("%.3f", value)
}

function cell(text, width) { return sprintf("%-" width "s", text) }
function right(text, width) { return sprintf("%" width "s", text) }

$1 == "BENCH" && NF >= 5 && $2 != "" && $3 != "" {
    rows++
    figure[rows] = $2
    ours[rows] = shown($3 + 0) " " $5
    reference[rows] = "-"
    ratio[rows] = "-"
    if ($4 != "") {
        reference[rows] = shown($4 + 0) " " $5 ($6 != "" ? " (" $6 ")" : "")
        ratio[rows] = ($4 + 0 != 0) ? sprintf("%.2f", ($3 + 0) / ($4 + 0)) : "-"
    }
}

END {
    head[1] = "figure"; head[2] = "Pagemate"; head[3] = "reference, same run"; head[4] = "ratio"
    for (c = 1; c <= 4; c++) width[c] = length(head[c])
    for (r = 1; r <= rows; r++) {
        if (length(figure[r]) > width[1]) width[1] = length(figure[r])
        if (length(ours[r]) > width[2]) width[2] = length(ours[r])
        if (length(reference[r]) > width[3]) width[3] = length(reference[r])
        if (length(ratio[r]) > width[4]) width[4] = length(ratio[r])
    }
    printf "| %s | %s | %s | %s |\n", cell(head[1], width[1]), right(head[2], width[2]),
        right(head[3], width[3]), right(head[4], width[4])
    line = "|"
    for (c = 1; c <= 4; c++) {
        dashes = ""
        for (i = 0; i < width[c]; i++) dashes = dashes "-"
        line = line (c == 1 ? " " dashes " |" : " " substr(dashes, 2) ": |")
    }
    print line
    for (r = 1; r <= rows; r++) {
        printf "| %s | %s | %s | %s |\n", cell(figure[r], width[1]), right(ours[r], width[2]),
            right(reference[r], width[3]), right(ratio[r], width[4])
    }
    if (rows == 0) print "(no figures)"
}
