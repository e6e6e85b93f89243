#!/usr/bin/env bash
# The layering check refuses an include that reaches up, and one past the
# engine's front door, and accepts the includes each layer may make.
set -euo pipefail
check="$(cd "$(dirname "$0")/../.." && pwd)/scripts/check-layers"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{platform,engine/files,engine/index,engine/blob,engine/table,engine/cursor,tools/ledra,components}

echo '#include "platform/File.h"' > "$tree/engine/files/Good.h"
printf '#include "engine/files/Good.h"\n#include "engine/errors/EngineError.h"\n' > "$tree/engine/index/Good.h"
echo '#include "engine/cursor/DataCursor.h"' > "$tree/tools/ledra/Good.cpp"
if ! "$check" "$tree" > "$tree/out" 2>&1; then
  echo "FAIL: a tree with only downward includes was refused:"; cat "$tree/out"; exit 1
fi

echo '#include "engine/cursor/DataCursor.h"' > "$tree/engine/files/Up.h"
echo '#include "engine/blob/BlobFile.h"' > "$tree/engine/index/Sibling.cpp"
echo '#include "engine/index/BTree.h"' > "$tree/components/Internal.cpp"
if "$check" "$tree" > "$tree/out" 2>&1; then
  echo "FAIL: upward includes were accepted"; exit 1
fi
for expected in 'engine/files/Up.h:1: includes "engine/cursor/DataCursor.h" (files may not reach cursor)' \
                'engine/index/Sibling.cpp:1: includes "engine/blob/BlobFile.h" (index may not reach blob)' \
                'components/Internal.cpp:1: includes "engine/index/BTree.h" (components may not reach index)'; do
  if ! grep -qF "$expected" "$tree/out"; then
    echo "FAIL: missing finding: $expected"; cat "$tree/out"; exit 1
  fi
done
echo "1 passed, 0 failed"
