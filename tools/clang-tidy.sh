#!/usr/bin/env bash
# Runs clang-tidy (the checks of .clang-tidy, every finding an error) over every .cpp under src/.
# The compile commands come from build-tidy, a tree configured like the dev preset; of it only
# the Qt autogen targets of src/ are built, for the headers moc writes. Prints the findings and
# exits non-zero if there is any.
#   CLANG_TIDY_JOBS=N bash tools/clang-tidy.sh      (default: 2 jobs)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${CLANG_TIDY_JOBS:-2}
root=$PWD
tree=build-tidy

cmake --preset dev -B "$tree" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
mapfile -t autogen < <(ninja -C "$tree" -t targets all \
                           | sed -n 's|^src/.*/\([^/:]*_autogen\): phony$|\1|p' | sort -u)
if ((${#autogen[@]})); then
    cmake --build "$tree" -j "$jobs" --target "${autogen[@]}" >/dev/null
fi

# run-clang-tidy skips a file the database does not name: one the tree does not build is an error.
shopt -s globstar
missing=0
for file in src/**/*.cpp; do
    if ! grep -qF "\"file\": \"$root/$file\"" "$tree/compile_commands.json"; then
        echo "clang-tidy.sh: $file is not in $tree/compile_commands.json" >&2
        missing=1
    fi
done
((missing == 0)) || exit 1

# The sources under src/ and not the sources the tree generates (build-tidy/src/...).
pattern="^$(sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"$root")/src/.*\\.cpp\$"
# run-clang-tidy prints each command line, in colour, and clang's count of the warnings it hid in
# headers outside src/ (HeaderFilterRegex): only the findings are kept, as plain text.
status=0
run-clang-tidy -clang-tidy-binary "$(command -v clang-tidy)" -p "$tree" -j "$jobs" -quiet \
    "$pattern" 2>&1 \
    | sed -E 's/\x1b\[[0-9;]*m//g; /^\S*clang-tidy .* -p=/d; /^[0-9]+ warnings? generated\.$/d' \
    || status=$?
if ((status != 0)); then
    echo "clang-tidy.sh: clang-tidy failed; its findings are above (checks in .clang-tidy)" >&2
fi
exit "$status"
