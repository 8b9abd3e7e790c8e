#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Every source file names its licence in its first lines, as the package's
# copyright file says of them all.
#
#   licence_test.sh SOURCE_DIR
set -euo pipefail
source=$1
missing=$(git -C "$source" ls-files '*.cpp' '*.hpp' '*.qml' '*.mjs' '*.cjs' '*.py' '*.sh' '*.cmake' 'CMakeLists.txt' '*/CMakeLists.txt' |
  grep -Ev "^node_modules/" |
  while read -r file; do
    head -n 3 "$source/$file" | grep -q 'SPDX-License-Identifier: GPL-3.0-or-later' || echo "  $file"
  done)
if [ -n "$missing" ]; then
  echo "These sources do not say their licence (SPDX-License-Identifier: GPL-3.0-or-later) in their first lines:"
  echo "$missing"
  exit 1
fi
echo "every source says its licence"
