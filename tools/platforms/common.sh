# Sourced by the scripts of tools/platforms: where the foreign interpreters,
# emulators and sources are kept, and a private apt configuration for another
# suite of the Debian archive this machine uses. Nothing is installed on the
# system: packages are downloaded and unpacked with dpkg -x.
#
# The cache is ${TAVRO_PLATFORMS_CACHE:-$HOME/.cache/tavro-platforms}; every
# script reuses what an earlier run left there and rebuilds what is missing.

home_dir=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache=${TAVRO_PLATFORMS_CACHE:-$home_dir/.cache/tavro-platforms}
platforms_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$cache"

# The log of the current script (set by each script); the tail is shown on failure.
log=${log:-$cache/last.log}
fail() {
    echo "${0##*/}: $*" >&2
    [[ -s $log ]] && tail -n 25 "$log" >&2
    exit 1
}

# reuse_venv VENV: when VENV is a ready environment (pip included), prints
# its python and ends the script.
reuse_venv() {
    if [[ -x $1/bin/python ]] && "$1/bin/python" -c 'import pip' 2>/dev/null; then
        echo "$1/bin/python"
        exit 0
    fi
}

# apt_suite SUITE ARCH...: sets APT_OPTS to a private apt configuration for
# SUITE (binary packages of the given architectures and sources) of the
# archive named in /etc/apt/sources.list.d, and fetches its indexes once.
apt_suite() {
    local suite=$1
    shift
    local dir=$cache/apt-$suite-$(IFS=-; echo "$*")
    mkdir -p "$dir/lists/partial" "$dir/archives/partial"
    if [[ ! -f $dir/suite.sources ]]; then
        local uri
        uri=$(grep -h -m1 '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '{print $2}')
        [[ -n $uri ]] || uri=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
        [[ -n $uri ]] || fail "no Debian archive found in apt's sources"
        printf 'Types: deb deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$uri" "$suite" >"$dir/suite.sources"
    fi
    APT_OPTS=(-o "Dir::Etc::sourcelist=$dir/suite.sources" -o Dir::Etc::sourceparts=/nonexistent
              -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache::archives=$dir/archives"
              -o "APT::Architecture=$1")
    local arch
    for arch in "$@"; do APT_OPTS+=(-o "APT::Architectures::=$arch"); done
    # The indexes are fetched again after a week: the archive drops old versions.
    if [[ -z $(find "$dir/lists" -maxdepth 1 -name '*_Packages*' -mtime -7 2>/dev/null) ]]; then
        apt-get update -qq "${APT_OPTS[@]}" >>"$log" 2>&1 || fail "apt-get update for $suite failed"
    fi
}

# unpack_debs DIR ROOT PACKAGE...: downloads the packages into DIR (once) and
# unpacks every one of them into ROOT.
unpack_debs() {
    local debs=$1 root=$2
    shift 2
    mkdir -p "$debs" "$root"
    (cd "$debs" && apt-get download -qq "${APT_OPTS[@]}" "$@" >>"$log" 2>&1) || fail "apt-get download $* failed"
    local deb
    for deb in "$debs"/*.deb; do dpkg -x "$deb" "$root"; done
}

# source_tarball SUITE PACKAGE DIR: the upstream tarball of a Debian source
# package (downloaded once into DIR); prints its path.
source_tarball() {
    local suite=$1 package=$2 dir=$3
    mkdir -p "$dir"
    if [[ -z $(ls "$dir/${package}_"*.orig.tar.* 2>/dev/null) ]]; then
        apt_suite "$suite" amd64
        (cd "$dir" && apt-get source -qq --download-only --tar-only "${APT_OPTS[@]}" "$package" >>"$log" 2>&1) ||
            fail "apt-get source $package ($suite) failed"
    fi
    ls "$dir/${package}_"*.orig.tar.* | head -n 1
}

# The wheel toolchain (tools/wheels-requirements.txt: zig, CMake, Ninja,
# auditwheel...), which tools/wheels/wheels.sh installs into the cache, named
# after the requirements it was installed from: every clone and CI run on
# this machine finds the same files, and so zig's cache of what it compiled
# once for each target (its C++ runtime above all) stays valid.
wheel_toolchain() {
    local requirements=$platforms_dir/../wheels-requirements.txt
    echo "$cache/toolchain-$(sha256sum "$requirements" | cut -c1-12)"
}

# The pinned zig of the wheel toolchain; TAVRO_ZIG names another.
find_zig() {
    if [[ -n ${TAVRO_ZIG:-} ]]; then echo "$TAVRO_ZIG"; return; fi
    local toolchain
    toolchain=$(wheel_toolchain)
    "$toolchain/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))' ||
        fail "no wheel toolchain at $toolchain (tools/wheels/wheels.sh installs it)"
}
