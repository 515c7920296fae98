# Sourced by the reliability scripts: installs the Debian packages a script
# needs when its tools are missing. CI runs as root on a machine that may not
# have them; elsewhere the script says what to install and stops.

_tavo_apt_updated=

# apt_install PKG... : apt-get install (after one apt-get update per script).
apt_install() {
    if [ "$(id -u)" != 0 ]; then
        echo "error: missing tools; as root run: apt-get install $*" >&2
        return 1
    fi
    if [ -z "$_tavo_apt_updated" ]; then
        echo "apt-get update" >&2
        apt-get update -qq >/dev/null
        _tavo_apt_updated=1
    fi
    echo "apt-get install $*" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# need_cmd CMD PKG... : installs PKG... unless CMD is on PATH.
need_cmd() {
    local cmd=$1
    shift
    command -v "$cmd" >/dev/null 2>&1 || apt_install "$@"
}

# need_libfuzzer: clang++ that can link -fsanitize=fuzzer,address,undefined.
need_libfuzzer() {
    need_cmd clang++ clang
    local probe
    probe=$(mktemp -d)
    printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
        'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' \
        >"$probe/p.cpp"
    if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
        local major
        major=$(clang++ -dumpversion | cut -d. -f1)
        apt_install "libclang-rt-$major-dev"
        clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p"
    fi
    rm -rf "$probe"
}
