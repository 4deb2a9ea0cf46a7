#!/usr/bin/env bash
# Installs what a profile needs, when it is missing.  Needs root for
# apt-get; without it, only reports what is missing.
#   install-deps.sh demo     the library and the demo (make demo), and the field tools
#   install-deps.sh          also the gateway and everything the Linux suite uses
#   install-deps.sh windows  also the mingw-w64 cross compilers and Wine
set -euo pipefail

profile=${1:-test}
case "$profile" in
  demo|test|windows) ;;
  *) echo "usage: install-deps.sh [demo|test|windows]" >&2; exit 64 ;;
esac

# The library, pesmo6-demo and the field tools (CLI11, nlohmann-json).
want=(cmake g++ make libcli11-dev nlohmann-json3-dev)
if [ "$profile" != demo ]; then
  want+=(libgtest-dev locales python3 ser2net nftables iproute2 strace
         clang libclang-rt-14-dev pkg-config zip unzip dpkg-dev python3-pytest python3-setuptools python3-wheel python3-pip python3-venv
         fp-compiler mono-mcs mono-runtime)
  # The gateway pesmo6d and its tests.
  want+=(libtomlplusplus-dev libmicrohttpd-dev libmosquitto-dev mosquitto mosquitto-clients)
  # The gateway's live page in headless Chromium, driven by Selenium through
  # chromedriver, with a font for its layout.
  want+=(chromium chromium-driver python3-selenium fonts-dejavu-core)
fi
if [ "$profile" = windows ]; then
  want+=(mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386)
fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages (run as root to install): ${missing[*]}" >&2
  else
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # 32-bit Wine lives in the i386 architecture.
    case " ${missing[*]} " in
      *":i386 "*) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
    esac
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi

[ "$profile" = demo ] && exit 0

# Comma-separator cases run under pt_BR.UTF-8.
if ! locale -a 2>/dev/null | grep -qi '^pt_BR\.utf-\?8$'; then
  if [ "$(id -u)" -eq 0 ] && [ -f /etc/locale.gen ]; then
    sed -i 's/^# *\(pt_BR\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^pt_BR.UTF-8 UTF-8' /etc/locale.gen || echo 'pt_BR.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
  else
    echo "locale pt_BR.UTF-8 is missing: comma-separator tests will be skipped" >&2
  fi
fi
