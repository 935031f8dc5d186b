#!/usr/bin/env bash
# Packs and unpacks every sample file with the tool under test and with a
# reference build of the same sources (a native one, for a cross-built tool),
# and fails unless both write the same bytes and print the same sizes.
#
#   same_records.sh CORPUS WORK REFERENCE -- TOOL-COMMAND...
set -euo pipefail
corpus=$1 work=$2 reference=$3
shift 4

rm -rf "$work"
mkdir -p "$work"
cd "$work" # plain relative names: the tool may see the file system otherwise

# Windows prints text-mode line ends.
tool() { "$@" | tr -d '\r'; }

modes=(-c)
"$reference" | grep -q '^  -b ' && modes+=(-b)

files=0
for sample in "$corpus"/*; do
    [ "$(basename "$sample")" = README.md ] && continue
    cp "$sample" in
    for mode in "${modes[@]}"; do
        "$reference" in want.exs "$mode" >want.out
        tool "$@" in got.exs "$mode" >got.out
        cmp want.exs got.exs
        cmp want.out got.out
        "$reference" got.exs want.bin -d >want.out
        tool "$@" want.exs got.bin -d >got.out
        cmp in got.bin
        cmp want.bin got.bin
        cmp want.out got.out
    done
    files=$((files + 1))
done
[ "$files" -gt 0 ]
echo "$files files, modes ${modes[*]}: the same records and the same sizes"
