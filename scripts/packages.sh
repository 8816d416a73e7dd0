# Sourced by scripts/test and scripts/demo: the Debian packages that
# building, testing and the demo need, installed when missing.

UPDATER_PACKAGES=(
    build-essential cmake            # compiler and build system
    qtbase5-dev qtbase5-dev-tools    # Qt 5 Core, Gui, Network, Widgets, Test; moc and uic
    libquazip1-qt5-dev               # unpacking the downloaded archive
    python3-pyftpdlib                # the real FTP server of the tests and the demo
    vsftpd                           # a second real FTP server for the tests
    xvfb xauth xdotool               # running the built updater in a virtual display
    imagemagick                      # the demo's screenshot of the window
    zip                              # building the demo's update archive
    clang                            # scripts/fuzz: libFuzzer targets
    libclang-rt-14-dev               # scripts/fuzz: libFuzzer and the sanitizer runtimes for clang
    curl                             # scripts/bench: the download benchmark's reference client
    time                             # scripts/bench: peak memory (/usr/bin/time)
    util-linux                       # setpriv: the black-box test runs the updater as a user who may not write
    unzip                            # the install benchmark's yardstick (Info-ZIP)
    pkg-config                       # finding libsodium at build time
    libsodium-dev                    # signing and verifying releases
    minisign                         # the reference signer the tests check against
    libzstd-dev                      # delta updates: patches made and applied with Zstandard
    bsdiff                           # scripts/bench delta: the yardstick for patch size and time
    nginx                            # HTTPS release sources in the tests and benchmarks
    openssl                          # the tests' own CA and server certificates for nginx
    libcurl4-openssl-dev             # HTTPS release sources: libcurl (OpenSSL) driven by the event loop
    tinyproxy                        # the tests' proxy on loopback between the updater and nginx
    dpkg-dev                         # Debian packages: dpkg-shlibdeps gives cpack their dependencies
    debootstrap                      # the package test's clean Debian tree
    qttools5-dev-tools               # lrelease builds the translations; lupdate checks them against the sources
)

# scripts/demo --lang ja or zh_CN: a font with the CJK characters.
UPDATER_CJK_PACKAGES=(fonts-noto-cjk)

# Installs the packages named (by default UPDATER_PACKAGES) that are missing.
install_missing_packages() {
    local missing=()
    local pkg
    local wanted=("$@")
    [ ${#wanted[@]} -gt 0 ] || wanted=("${UPDATER_PACKAGES[@]}")
    for pkg in "${wanted[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
}
