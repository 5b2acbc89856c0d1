# shellcheck shell=bash
# The Debian packages behind a release's bytes, sourced by the release and
# verification commands. A release records the version of each in its
# BUILDINFO; a verification rebuilds with the same versions.

# These shape the executables: the cross compilers and their runtimes,
# binutils, MinGW-w64's headers and CRT, CMake and Ninja.
toolchain_build_packages=(
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
    gcc-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix
    gcc-mingw-w64-i686-posix-runtime gcc-mingw-w64-x86-64-posix-runtime gcc-mingw-w64-base
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    mingw-w64-common mingw-w64-i686-dev mingw-w64-x86-64-dev
    cmake cmake-data ninja-build
)
# These shape the zips and the signatures around them. A verification
# compares what is inside the zips, with the signatures taken off, so it
# records them without needing them.
toolchain_packaging_packages=(osslsigncode zip)

# "Package: NAME VERSION" for each package, as installed here.
toolchain_versions() {
    local package version
    for package in "${toolchain_build_packages[@]}" "${toolchain_packaging_packages[@]}"; do
        version=$(dpkg-query -W -f='${Version}' "$package" 2>/dev/null) || version='(not installed)'
        printf 'Package: %s %s\n' "$package" "${version:-(not installed)}"
    done
}

# toolchain_buildinfo COMMIT FOLDER ENVIRONMENT UMASK: the release's
# BUILDINFO, on standard output, for the unsigned executables under FOLDER (as
# in the zips), built with ENVIRONMENT (NAME=VALUE words) and SOURCE_DATE_EPOCH.
toolchain_buildinfo() {
    local commit=$1 folder=$2 exe
    (
        . /etc/os-release
        printf 'Format: 2\nSource: loclistfix\nCommit: %s\nSource-Date-Epoch: %s\n' "${commit:-(none)}" "$SOURCE_DATE_EPOCH"
        printf 'Build-Distribution: %s\nBuild-Release: %s\nBuild-Codename: %s\nBuild-Architecture: %s\n' \
            "$ID" "${VERSION_ID:-unknown}" "${VERSION_CODENAME:-unknown}" "$(dpkg --print-architecture)"
        printf 'Build-Environment: %s\nBuild-Umask: %s\n' "$3" "$4"
    )
    toolchain_versions
    for exe in "$folder"/*/loclistfix.exe; do
        printf 'Unsigned-SHA256: %s %s\n' "${exe#"$folder"/}" "$(sha256sum <"$exe" | cut -d' ' -f1)"
    done
}
