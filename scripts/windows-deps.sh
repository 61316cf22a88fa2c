#!/usr/bin/env bash
# Prepares a Debian machine for the Windows builds of this tree:
#   1. the MinGW-w64 cross compilers (i686 and x86_64) and Wine, from Debian
#      packages: 64-bit Wine always, 32-bit Wine (wine32:i386) only where this
#      machine can execute 32-bit programs, which not every one can;
#   2. SQLite and GoogleTest/GoogleMock cross-compiled from Debian's own
#      sources for each target into a cache outside the clone, keyed by
#      package versions, so a second run only checks that the cache is there.
# The windows and windows64 presets find the cache through $VDDB_WINDOWS_DEPS
# or the defaults below (see cmake/mingw-w64-common.cmake).
#
# Usage: scripts/windows-deps.sh [--no-install] [--target i686|x86_64|all]
#   --no-install  skip apt; only (re)build the cache with what is installed.
#   --target      which target's pieces to build (default: all).
# Prints the prefix of the last target's built pieces on its last line.
set -euo pipefail

install_packages=1
targets=(i686 x86_64)
while (($#)); do
  case $1 in
    --no-install) install_packages=0 ;;
    --target)
      case ${2:-} in
        i686 | x86_64) targets=("$2") ;;
        all) targets=(i686 x86_64) ;;
        *) echo "usage: windows-deps.sh [--no-install] [--target i686|x86_64|all]" >&2; exit 2 ;;
      esac
      shift ;;
    *) echo "usage: windows-deps.sh [--no-install] [--target i686|x86_64|all]" >&2; exit 2 ;;
  esac
  shift
done

if [[ $(id -u) -eq 0 ]]; then
  sudo=()
  default_root=/var/cache/vddb-windows-deps
else
  sudo=(sudo)
  default_root="${XDG_CACHE_HOME:-$HOME/.cache}/vddb-windows-deps"
fi
cache_root="${VDDB_WINDOWS_DEPS_ROOT:-$default_root}"

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

log() { printf 'windows-deps: %s\n' "$*" >&2; }

apt_quiet() {
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -qq -o=Dpkg::Use-Pty=0 "$@" >/dev/null
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

# wine32:i386 on a machine that cannot execute 32-bit programs fails in the
# post-install steps of its i386 libraries and leaves dpkg with packages it
# can never configure. So the package's own loader is unpacked and tried
# first (by the same probe that CI asks later); only a kernel that refuses
# the format skips it. Any other answer (typically the missing i386 C
# library) means the install itself will decide.
install_wine32() {
  installed wine32:i386 && return 0
  local work verdict
  work=$(mktemp -d)
  chmod 755 "$work"
  if ! (cd "$work" && apt-get download -qq wine32:i386 >/dev/null 2>&1); then
    log "could not download wine32:i386; the 32-bit Windows suite will not run here"
    rm -rf "$work"
    return 0
  fi
  dpkg-deb -x "$work"/wine32_*.deb "$work/root"
  verdict=$("$repo/scripts/wine32-probe.sh" --loader "$work/root/usr/lib/wine/wine" 2>&1 || true)
  rm -rf "$work"
  if [[ $verdict == *"Exec format error"* ]]; then
    log "this machine cannot execute 32-bit programs; wine32:i386 skipped (${verdict#no: })"
    return 0
  fi
  log "installing: wine32:i386"
  if ! apt_quiet install -y --no-install-recommends wine32:i386; then
    log "wine32:i386 did not install; removing what it left half-configured"
    local broken
    broken=$(dpkg-query -W -f='${binary:Package} ${Status}\n' 2>/dev/null |
      awk '$1 ~ /:i386$/ && $4 != "installed" {print $1}')
    if [[ -n $broken ]]; then
      # shellcheck disable=SC2086
      "${sudo[@]}" dpkg --purge --force-all $broken >/dev/null 2>&1 || true
    fi
  fi
}

# --- 1. packages ------------------------------------------------------------
packages=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          wine wine64 googletest
          nlohmann-json3-dev libcli11-dev libutfcpp-dev cmake ninja-build dpkg-dev tcl file)
if ((install_packages)); then
  need_update=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "adding the i386 architecture for wine32"
    "${sudo[@]}" dpkg --add-architecture i386
    need_update=1
  fi
  # apt-get source needs deb-src entries; mirror the binary sources.
  deb_src=/etc/apt/sources.list.d/vddb-deb-src.sources
  if [[ ! -e $deb_src ]] && ! grep -rqs '^\(Types:.*deb-src\|deb-src\)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    log "enabling deb-src entries in $deb_src"
    if [[ -e /etc/apt/sources.list.d/debian.sources ]]; then
      sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | "${sudo[@]}" tee "$deb_src" >/dev/null
    else
      grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
        "${sudo[@]}" tee /etc/apt/sources.list.d/vddb-deb-src.list >/dev/null
    fi
    need_update=1
  fi
  missing=()
  for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
  done
  if ((need_update)) || { ((${#missing[@]})) || ! installed wine32:i386; }; then
    bash "$repo/scripts/apt-update.sh"
  fi
  if ((${#missing[@]})); then
    log "installing: ${missing[*]}"
    apt_quiet install -y --no-install-recommends "${missing[@]}"
  fi
  install_wine32
fi

# --- 2. cache key -------------------------------------------------------------
version_of() { dpkg-query -W -f='${Version}' "$1"; }
# The SQLite of the native build, so both targets run the same engine code;
# the archive's candidate when the headers are not installed.
sqlite_version=$(version_of libsqlite3-dev 2>/dev/null || true)
if [[ -z $sqlite_version ]]; then
  sqlite_version=$(apt-cache policy sqlite3 2>/dev/null | awk '/Candidate:/ {print $2; exit}')
fi
gtest_version=$(version_of googletest)
# The recipe revision: bump it when this script builds the pieces differently.
recipe=3

# One builder at a time per cache.
mkdir -p "$cache_root"
exec 8>"$cache_root/.lock"
flock 8

build_target() {
local arch=$1
local triple=$arch-w64-mingw32
local cc=$triple-gcc-posix
local mingw_version
mingw_version=$(version_of "g++-mingw-w64-${arch//_/-}-posix")
local key="${triple}_r${recipe}_sqlite-${sqlite_version}_gtest-${gtest_version}_mingw-${mingw_version}"
key=${key//[^A-Za-z0-9._+-]/_}
local prefix="$cache_root/$key"

if [[ -e $prefix/.complete ]]; then
  log "cache hit: $prefix"
else
  log "building into $prefix"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  rm -rf "$prefix"
  mkdir -p "$prefix/include" "$prefix/lib" "$prefix/lib/cmake"

  # --- SQLite: Debian's source package, amalgamated, one static library ----
  (
    cd "$work"
    apt-get source -qq --download-only "sqlite3=$sqlite_version" >/dev/null 2>&1 ||
      apt-get source -qq --download-only sqlite3 >/dev/null
    # Unpacked with Debian's patches applied (security fixes included).
    # (Its note that the .dsc signature cannot be checked without Debian's
    # keyring is dropped: apt verified the files against the signed index.)
    if ! dpkg-source -x ./sqlite3_*.dsc sqlite-src >dpkg-source.log 2>&1; then
      cat dpkg-source.log >&2
      exit 1
    fi
    cd sqlite-src
    if [[ ! -f sqlite3.c ]]; then
      # The tree is the canonical source; its own rules generate the amalgamation.
      mkdir -p ../amalg && cd ../amalg
      ../sqlite-src/configure --quiet >/dev/null
      make -s sqlite3.c sqlite3.h >/dev/null
    fi
    # The options of Debian's own build that bear on behaviour, so that the
    # engine sees the same SQLite on both targets.
    "$cc" -O2 -DNDEBUG -fno-strict-aliasing -DSQLITE_THREADSAFE=1 -DSQLITE_SECURE_DELETE \
      -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_USE_URI=1 -DSQLITE_MAX_SCHEMA_RETRY=25 \
      -DSQLITE_ENABLE_UNLOCK_NOTIFY -DSQLITE_ENABLE_DBSTAT_VTAB -DSQLITE_ENABLE_JSON1 \
      -DSQLITE_LIKE_DOESNT_MATCH_BLOBS -DSQLITE_MAX_VARIABLE_NUMBER=250000 \
      -DSQLITE_ENABLE_UPDATE_DELETE_LIMIT=1 -DSQLITE_OMIT_LOAD_EXTENSION \
      -DSQLITE_ENABLE_SESSION -DSQLITE_ENABLE_PREUPDATE_HOOK \
      -c sqlite3.c -o sqlite3.o
    "$triple-ar" rcs "$prefix/lib/libsqlite3.a" sqlite3.o
    cp sqlite3.h "$prefix/include/"
    [[ -f sqlite3ext.h ]] && cp sqlite3ext.h "$prefix/include/" || true
  )

  # --- GoogleTest / GoogleMock from /usr/src/googletest -----------------------
  cmake -S /usr/src/googletest -B "$work/gtest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$triple.cmake" \
    -DVDDB_WINDOWS_DEPS_BOOTSTRAP=ON \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -Dgtest_disable_pthreads=OFF -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
  cmake --build "$work/gtest" -j"$(nproc)" >/dev/null
  cmake --install "$work/gtest" >/dev/null

  printf '%s\n' "$key" >"$prefix/.complete"
  rm -rf "$work"
  trap - EXIT
fi

# Header-only packages: link the host's headers (and CMake configs, where the
# build finds a package by them) into the prefix, so the cross build sees
# them and nothing else of /usr/include. Done on every run, so that a cache
# built before a package was added gains it without a rebuild.
for dir in nlohmann CLI utf8cpp; do ln -sfn "/usr/include/$dir" "$prefix/include/$dir"; done
for pkg in nlohmann_json CLI11; do
  mkdir -p "$prefix/share/cmake/$pkg"
  for f in /usr/share/cmake/"$pkg"/*.cmake; do ln -sf "$f" "$prefix/share/cmake/$pkg/"; done
done
ln -sfn "$prefix" "$cache_root/current-$triple"
last_prefix="$cache_root/current-$triple"
}

last_prefix=
for target in "${targets[@]}"; do
  build_target "$target"
done
printf '%s
' "$last_prefix"
