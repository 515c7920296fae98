# Sourced by scripts/test-i386 and scripts/build-wheels: the cached 32-bit
# x86 Debian trees both use. Needs scripts/lib/tools.sh, root and mmdebstrap.
# Trees live under $TAVO_I386_CACHE (default /var/cache/tavo-i386), keyed by
# suite and package list; a changed list makes a new tree and drops the old.

i386_cache=${TAVO_I386_CACHE:-/var/cache/tavo-i386}
i386_mirror=${TAVO_I386_MIRROR:-http://deb.debian.org/debian}

i386_packages() {
    case $1 in
        trixie) echo "python3,python3-dev,g++,python3-setuptools,python3-pytest,python3-hypothesis" ;;
        bullseye) echo "python2.7,python2.7-dev,g++,python-setuptools" ;;
        *) echo "error: unknown suite '$1' (trixie, bullseye)" >&2; return 1 ;;
    esac
}

# Prints the path of a ready tree for suite $1, making it if needed.
i386_tree_for() {
    local suite=$1 pkgs key dir
    pkgs=$(i386_packages "$suite")
    key=$(printf '%s\n' "v1" "$suite" "i386" "minbase" "$pkgs" "$i386_mirror" | sha256sum | cut -c1-16)
    dir="$i386_cache/$suite-$key"
    if [ ! -f "$dir/.tavo-ready" ]; then
        mkdir -p "$i386_cache"
        for old in "$i386_cache/$suite"-*; do
            [ -e "$old" ] && [ "$old" != "$dir" ] && { echo "dropping stale tree $old" >&2; rm -rf "$old"; }
        done
        rm -rf "$dir"
        echo "making $suite i386 tree in $dir ($pkgs)" >&2
        mmdebstrap --quiet --arch=i386 --variant=minbase --include="$pkgs" \
            --aptopt='Acquire::Retries "3"' "$suite" "$dir" "$i386_mirror" >&2
        touch "$dir/.tavo-ready"
    else
        echo "reusing cached $suite i386 tree $dir" >&2
    fi
    echo "$dir"
}

# Copies the work tree (tracked and untracked, not ignored, files) to
# /tavo inside tree $1.
i386_copy_worktree() {
    rm -rf "$1/tavo"
    mkdir -p "$1/tavo"
    git ls-files -co --exclude-standard -z | tar --null -cf - -T - | tar -xf - -C "$1/tavo"
}

# Runs a shell command inside tree $1 as a 32-bit (i686) process.
i386_run() {
    local dir=$1
    shift
    setarch i686 chroot "$dir" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin \
        HOME=/root LANG=C.UTF-8 PYTHONDONTWRITEBYTECODE=1 TAVO_REQUIRE_32BIT_CAPACITY=1 \
        /bin/sh -ec "$*"
}
