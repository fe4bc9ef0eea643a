#!/usr/bin/env bash
# The plain optimised build: the warnings that only the optimiser finds (a truncated snprintf, a
# free of what operator new returned) are errors here, and the plugin tests' runs that a
# sanitizer's runtime cannot make are built here. It compiles the unit tests' files once more with
# optimisation, linking only what their programs need first (the SDK's and the platform's
# libraries, the helper programs some tests run), and links the hosts and plugins those runs take
# (scripts/plain-plugin-tests.sh names them and runs them). The rest of the tree (the simulated
# app, the UI suite, the benchmarks and the example) the sanitizer build already compiles at -O1,
# and so checks, with CI's -Werror (see the top CMakeLists.txt). .ci/run starts this beside the
# sanitizer build and the tests, at the lowest priority, and fails when it fails.
# Arguments pick a part: `objects` (the unit tests' files) or `plugins` (the plugin runs' hosts and
# plugins); both without one. OPT sets the optimisation (-O1, the cheapest that finds both of
# those warnings), JOBS the compile jobs, BUILD_DIR the folder (build/optimised-warnings).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh" >/dev/null
build_dir="${BUILD_DIR:-$root/build/optimised-warnings}"
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(objects plugins)
for part in "${parts[@]}"; do
  case "$part" in
    objects | plugins) ;;
    *) echo "optimised-warnings.sh: no part '$part' (objects or plugins)" >&2; exit 2 ;;
  esac
done
flags="${OPT:--O1} -g0 -DNDEBUG"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$flags" \
  -DCMAKE_CXX_FLAGS_RELEASE="$flags" -DVESMORA_WERROR=ON >/dev/null
targets=()
for part in "${parts[@]}"; do
  case "$part" in
    objects) mapfile -t found < <(ninja -C "$build_dir" -t targets all |
      sed -n 's/^\(tests\/.*\.o\): C[A-Z]*_COMPILER__.*/\1/p') ;;
    plugins) mapfile -t found < <(BUILD_DIR="$build_dir" bash "$root/scripts/plain-plugin-tests.sh" files) ;;
  esac
  if [ ${#found[@]} -eq 0 ]; then
    echo "optimised-warnings.sh: nothing found to build for '$part'" >&2
    exit 1
  fi
  targets+=("${found[@]}")
done
ninja -C "$build_dir" -j "${JOBS:-$(nproc)}" "${targets[@]}"
