# Sourced by the build and run scripts (after they set `root`): picks the sanitizer and the build
# folder from the environment.
#   SANITIZE=1 (or address)  AddressSanitizer + UBSan, build/sanitize
#   SANITIZE=thread          ThreadSanitizer, build/thread
#   otherwise                plain debug build, build/debug
# BUILD_DIR overrides the folder. WERROR=1 makes every compiler warning an error
# (-DVESMORA_WERROR=ON); CI sets it in .ci/run.
case "${SANITIZE:-0}" in
  0 | "") sanitize=OFF; build_dir="$root/build/debug" ;;
  1 | address) sanitize=ON; build_dir="$root/build/sanitize" ;;
  thread) sanitize=thread; build_dir="$root/build/thread" ;;
  *) echo "SANITIZE must be 1 (or address) or thread, not '$SANITIZE'" >&2; exit 2 ;;
esac
build_dir="${BUILD_DIR:-$build_dir}"
case "${WERROR:-0}" in
  0 | "") werror=OFF ;;
  1) werror=ON ;;
  *) echo "WERROR must be 1 or 0, not '$WERROR'" >&2; exit 2 ;;
esac
