#!/usr/bin/env bash
# Compiles the unit tests' files once more with optimisation, linking nothing: the warnings that
# only the optimiser finds (a truncated snprintf, a free of what operator new returned) are errors
# here. The rest of the tree (the SDK's and the platform's libraries, the simulated app, the UI
# suite, the benchmarks and the example) the sanitizer build already compiles at -O1, and so
# checks, with CI's -Werror (see the top CMakeLists.txt). .ci/run starts this beside the sanitizer
# build and the tests, at the lowest priority, and fails when it fails. OPT sets the optimisation
# (-O1, the cheapest that finds both of those), JOBS the compile jobs, BUILD_DIR the folder
# (build/optimised-warnings).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh" >/dev/null
build_dir="${BUILD_DIR:-$root/build/optimised-warnings}"
flags="${OPT:--O1} -g0 -DNDEBUG"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="$flags" \
  -DCMAKE_CXX_FLAGS_RELEASE="$flags" -DVESMORA_WERROR=ON >/dev/null
mapfile -t objects < <(ninja -C "$build_dir" -t targets all | sed -n 's/^\(tests\/.*\.o\): C[A-Z]*_COMPILER__.*/\1/p')
ninja -C "$build_dir" -j "${JOBS:-$(nproc)}" "${objects[@]}"
