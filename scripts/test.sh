#!/usr/bin/env bash
# The whole test suite: installs what is missing, checks the layering,
# builds Release, builds and runs ctest, runs each fuzzer for a bounded
# time, runs the threaded modules under ThreadSanitizer, then builds with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs the suite again.
# Warnings are errors in every build. Any failure fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
# A fixed seed and a fixed number of inputs make the fuzz step repeatable;
# longer, random campaigns are run by hand (KX_FUZZ_RUNS=-1 KX_FUZZ_SEED=0).
# Inputs per target, by its speed, for a minute or less each here.
fuzz_runs_for() {
  if [ -n "${KX_FUZZ_RUNS:-}" ]; then echo "$KX_FUZZ_RUNS"; return; fi
  case $1 in
    kxstring|urlparse|derive) echo 500000 ;;
    reqlog|filter) echo 200000 ;;
    query) echo 60000 ;;
    *) echo 30000 ;;
  esac
}
fuzz_seed=${KX_FUZZ_SEED:-1}
fuzz_seconds=${KX_FUZZ_SECONDS:-150}

bash scripts/install-deps.sh

# No file of a lower layer includes a header of a higher one.
bash scripts/check-layers.sh

# Warnings are errors in every build of this script.
werror=-DKX_WERROR=ON

# Release, every target, as users and packagers build it.
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release $werror >/dev/null
cmake --build build-release -j"$jobs"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $werror >/dev/null
cmake --build build -j"$jobs"

# The database tests talk to a private MariaDB server on a socket of its own.
if [ -f scripts/testdb.sh ]; then
  # shellcheck source=/dev/null
  source scripts/testdb.sh
  testdb_start
  trap testdb_stop EXIT
fi

ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300

# Fuzzers over the parsers of outside input, each from its seed corpus.
if compgen -G "tests/fuzz/*_fuzz.cc" >/dev/null; then
  cmake -S . -B build-fuzz -DKX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo $werror \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build build-fuzz -j"$jobs"
  for f in tests/fuzz/*_fuzz.cc; do
    name=$(basename "$f" .cc)
    base=${name%_fuzz}
    fuzz_runs=$(fuzz_runs_for "$base")
    corpus="$root/build-fuzz/corpus/$base"
    rm -rf "$corpus" && mkdir -p "$corpus"
    if [ -x "build-fuzz/bin/${base}_seeds" ]; then
      "build-fuzz/bin/${base}_seeds" "$corpus"
    fi
    echo "fuzzing $name: $fuzz_runs inputs, seed $fuzz_seed, at most ${fuzz_seconds}s"
    (cd "$root/build-fuzz" && "./bin/$name" -seed="$fuzz_seed" -runs="$fuzz_runs" -max_total_time="$fuzz_seconds" \
      -rss_limit_mb=2048 -print_final_stats=0 "$corpus" 2>&1 | tail -n 3)
    [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "fuzzer $name failed"; exit 1; }
  done
fi

# The threaded modules once more under ThreadSanitizer.
tsan_tests=()
for t in rwlock_test kxtime_test kxlogfile_test logsession_test acsm_test query_search_test serialcrypt_test \
    period_test reportlists_test kwsearch_test registry_test; do
  compgen -G "tests/*/$t.cc" >/dev/null && tsan_tests+=("$t")
done
if [ ${#tsan_tests[@]} -gt 0 ]; then
  cmake -S . -B build-tsan -DKX_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo $werror \
    -DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
  cmake --build build-tsan -j"$jobs" --target "${tsan_tests[@]}"
  for t in "${tsan_tests[@]}"; do
    echo "threadsanitizer: $t"
    TSAN_OPTIONS=halt_on_error=1 "build-tsan/bin/$t" --gtest_brief=1
  done
fi

cmake -S . -B build-asan -DKX_SANITIZE=ON -DKX_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $werror >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600
