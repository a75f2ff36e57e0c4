#!/usr/bin/env bash
# Builds llama-server, the model server of the handwriting reader, from llama.cpp
# and installs it where Quorvel Ink finds it (on PATH). The program then
# downloads only the model files.
#
#   scripts/install-reader.sh                      clone the pinned release over HTTPS, CPU build
#   scripts/install-reader.sh --source DIR|FILE    build from a llama.cpp source folder or a
#                                                  .tar.gz/.tar.xz archive of one (no network)
#   scripts/install-reader.sh --gpu vulkan         with the Vulkan backend (any GPU with a Vulkan
#                                                  driver; installs libvulkan-dev, glslc and
#                                                  spirv-headers; needs Vulkan headers newer than
#                                                  Debian 12's 1.3.239)
# Further options:
#   --bindir DIR   where llama-server goes (default ~/.local/bin)
#   --ref TAG      the llama.cpp release to clone (default below)
#   --portable     no optimisation for this machine's processor (a build that runs on any x86-64)
#   --jobs N       parallel compile jobs (default: the number of processors)
set -euo pipefail

release=b10630
repository=https://github.com/ggml-org/llama.cpp.git
source=
bindir="$HOME/.local/bin"
gpu=
native=ON
jobs="$(nproc)"

fail() { echo "install-reader: $*" >&2; exit 1; }
while [ $# -gt 0 ]; do
  case "$1" in
    --source) source="${2:?--source needs a folder or an archive}"; shift 2 ;;
    --bindir) bindir="${2:?--bindir needs a folder}"; shift 2 ;;
    --ref) release="${2:?--ref needs a release tag}"; shift 2 ;;
    --gpu) gpu="${2:?--gpu needs a backend}"; shift 2 ;;
    --portable) native=OFF; shift ;;
    --jobs) jobs="${2:?--jobs needs a number}"; shift 2 ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) fail "unknown option $1 (see --help)" ;;
  esac
done

here="$(cd "$(dirname "$0")" && pwd)"
backend=()
case "$gpu" in
  "") ;;
  vulkan)
    bash "$here/setup.sh" vulkan
    # llama.cpp's Vulkan backend uses VK_EXT_layer_settings, which Debian 12's
    # headers (1.3.239) lack: say so before a long build fails.
    if ! printf '#include <vulkan/vulkan.hpp>\nvk::LayerSettingEXT setting;\n' |
        g++ -std=c++17 -x c++ -fsyntax-only - >/dev/null 2>&1; then
      fail "this system's Vulkan headers are too old for llama.cpp's Vulkan backend (Debian 12's" \
        "1.3.239 are); build for the processor, or on a distribution with newer ones"
    fi
    backend=(-DGGML_VULKAN=ON) ;;
  *) fail "no GPU backend '$gpu' here; --gpu vulkan is the one a distribution's packages can build" ;;
esac
for tool in cmake g++ tar; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing: run scripts/setup.sh first"
done
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

work="$(mktemp -d -t quorvel-llama.XXXXXX)"
trap 'rm -rf "$work"' EXIT

if [ -z "$source" ]; then
  command -v git >/dev/null 2>&1 || fail "git is missing: run scripts/setup.sh first"
  echo "install-reader: cloning llama.cpp $release"
  git clone --quiet --depth 1 --branch "$release" "$repository" "$work/llama.cpp" ||
    fail "couldn't clone $repository at $release; give a source folder or archive with --source"
  tree="$work/llama.cpp"
elif [ -d "$source" ]; then
  tree="$(cd "$source" && pwd)"
elif [ -f "$source" ]; then
  mkdir "$work/src"
  tar -xf "$source" -C "$work/src" || fail "couldn't unpack $source"
  top="$(find "$work/src" -mindepth 1 -maxdepth 2 -name CMakeLists.txt -printf '%h\n' | sort | head -n 1)"
  [ -n "$top" ] || fail "$source holds no CMake project"
  tree="$top"
else
  fail "no such source folder or archive: $source"
fi
[ -d "$tree/tools/server" ] || fail "$tree doesn't look like llama.cpp (no tools/server)"

echo "install-reader: building llama-server (${gpu:-cpu}) with $jobs jobs"
# A static build with no network features, tests, examples or web page: one
# program that needs nothing beside it.
cmake -S "$tree" -B "$work/build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DGGML_NATIVE="$native" \
  -DBUILD_SHARED_LIBS=OFF -DLLAMA_CURL=OFF -DLLAMA_OPENSSL=OFF -DLLAMA_BUILD_TESTS=OFF \
  -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_UI=OFF -DLLAMA_USE_PREBUILT_UI=OFF \
  "${backend[@]}" >"$work/configure.log" 2>&1 ||
  { tail -n 30 "$work/configure.log" >&2; fail "configuring llama.cpp failed"; }
cmake --build "$work/build" --target llama-server -j "$jobs" >"$work/build.log" 2>&1 ||
  { tail -n 30 "$work/build.log" >&2; fail "building llama-server failed"; }
built="$work/build/bin/llama-server"
"$built" --version >/dev/null 2>&1 || fail "the built llama-server doesn't run"

# Put in place in one step, so a program looking for it never sees half a file.
mkdir -p "$bindir"
install -m 0755 "$built" "$bindir/.llama-server.$$"
mv -f "$bindir/.llama-server.$$" "$bindir/llama-server"
echo "install-reader: installed $bindir/llama-server"
case ":$PATH:" in
  *":$bindir:"*) ;;
  *) echo "install-reader: $bindir is not on PATH; add it (for example in ~/.profile) so Quorvel Ink finds the reader" ;;
esac
