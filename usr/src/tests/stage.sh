#!/bin/sh
# SPDX-License-Identifier: MIT
# stage.sh CMAKE BUILD STAGE: a fresh `cmake --install` of BUILD into the
# root STAGE, with the font the varkel package depends on.
set -eu
cmake=$1 build=$2 stage=$3
rm -rf "$stage"
DESTDIR="$stage" "$cmake" --install "$build" --prefix /usr
# fonts-dejavu-core's file, where the relative font.ttf link expects it.
fonts="$stage/usr/share/varkel/fonts"
target=$(readlink "$fonts/font.ttf")
wanted=$(realpath -m "$fonts/$target")
mkdir -p "$(dirname "$wanted")"
ln -s "${wanted#"$stage"}" "$wanted"
