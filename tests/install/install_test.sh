#!/usr/bin/env bash
# Installs a build into a scratch prefix, builds a station integrator's program against the
# installed package (with CMake and with pkg-config) and calls step methods through it and through
# the installed kora-run; then builds the Debian package and checks what it holds.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$source/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
# shellcheck disable=SC2046 # the flags are words
cc "$source/tests/install/consumer/main.c" -o "$work/by-pkg-config" $(pkg-config --cflags --libs kora)
"$work/by-pkg-config"

cat >"$work/program.yaml" <<'EOF'
program: Installed
steps:
  - method: COMPI_KORA
    name: Count
    DevChanAttr: ""
    Value: 3
    ULimit: "<=3"
EOF
"$prefix/bin/kora-run" "$work/program.yaml" | grep -q "PASSED"

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null)
listing=$(dpkg -c "$work"/package/*.deb)
for file in usr/lib/libkora.so usr/lib/librvo.so usr/include/kora/step_methods.h \
  usr/include/kora/platform/rvoapi.h usr/bin/kora-run usr/bin/kora-ictc \
  usr/lib/cmake/Kora/KoraConfig.cmake usr/lib/pkgconfig/kora.pc; do
  if ! grep -q " \./$file\$" <<<"$listing"; then
    echo "the package lacks $file" >&2
    exit 1
  fi
done
echo "installed, consumed and packaged"
