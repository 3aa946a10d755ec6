#!/usr/bin/env bash
# Builds the text code and the parser generator for Linux with
# AddressSanitizer and UndefinedBehaviorSanitizer (any finding aborts), and
# runs it. Usage: native_fuzz.sh BUILD_DIR [COUNT] [SEED]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:?usage: $0 BUILD_DIR [COUNT] [SEED]}
count=${2:-20000}
seed=${3:-1}
cxx=$(command -v clang++ || command -v g++)
mkdir -p "$out"
"$cxx" -std=c++20 -O1 -g -Wall -Wextra -fsanitize=address,undefined -fno-sanitize-recover=all \
    -fno-omit-frame-pointer -I"$root/src" \
    "$here/ParserFuzz.cpp" "$root/src/framework/CString.cpp" "$root/src/net/UrlParser.cpp" \
    "$root/src/net/ResponseHeaders.cpp" "$root/src/net/ProxyRules.cpp" "$root/src/net/SignInHeaders.cpp" \
    "$root/src/net/RedirectRules.cpp" "$root/src/net/RequestText.cpp" -o "$out/parser_fuzz_native"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$out/parser_fuzz_native" --seed "$seed" --count "$count"
