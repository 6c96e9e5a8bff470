# Shared settings of the build scripts (sourced).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PATH="$HOME/.cargo/bin:$PATH"
# Cargo's target folder stays outside the work tree (a dependency runs git describe while it builds).
cargo_dir="${IXO_CARGO_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ixo-extract/cargo}"
jobs="${IXO_JOBS:-$(nproc 2>/dev/null || echo 2)}"

configure() {  # <build dir> [cmake args...]
  local dir=$1
  shift
  cmake -G Ninja -S "$root" -B "$dir" -DIXO_CARGO_TARGET_DIR="$cargo_dir" "$@" >/dev/null
}

configure_and_build() {  # <build dir> [cmake args...]
  configure "$@"
  ninja -C "$1" -j "$jobs"
}
