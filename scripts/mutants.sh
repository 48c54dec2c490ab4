#!/usr/bin/env bash
# Mutation run: shows which faults the unit suite catches.
#
# Each fault below is one plausible one-line bug, given as data: the file,
# an exact text that must occur exactly once in it (it may span a line or
# two of context so that it is unique), the text that replaces it, and a
# short description. For each fault in turn the script applies it, builds
# (incrementally, in build-mutants/), runs the whole suite with ctest and a
# per-test timeout (a hang counts as caught), puts the file back, and prints
#   CAUGHT | MISSED | NOT APPLIED | NOT BUILT   #n  file: description
# then a summary line. A fault whose text no longer occurs exactly once is
# NOT APPLIED rather than applied somewhere else: refresh its text when the
# code around it changes.
#
# Usage: scripts/mutants.sh [--list] [--only N[,M...]]
#   MUTANT_BUILD_DIR  build directory (default build-mutants)
#   MUTANT_TIMEOUT    per-test timeout in seconds (default 120)
#
# The library directories must be clean when it starts; an EXIT/INT/TERM
# trap restores the mutated file, and the script checks with git at the end
# that nothing is left changed.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${MUTANT_BUILD_DIR:-build-mutants}
TIMEOUT=${MUTANT_TIMEOUT:-120}
LIB_DIRS=(bufpool cbt frame)

# file | exact text | replacement | description
FAULTS=(
  cbt/insert.cpp
  "move_right(x, pr.node(), n - s);"
  "move_right(x, pr.node(), n - s - 1);"
  "split point off by one: one entry too few moves to the new node"

  cbt/delete.cpp
  "if (underflow_mark(op) <= joined) return 1;"
  "if (underflow_mark(op) < joined) return 1;"
  "join mark compared with < instead of <="

  cbt/blocks.cpp
  "node.set_left(cr.free_head);"
  "node.set_left(0);"
  "freed block's free-chain link not written"

  bufpool/bufpool.cpp
  $'mark_dirty(h);\n    file->modified = 2;'
  $'file->modified = 2;'
  "put_block(write_now=0) does not set the dirty flag"

  cbt/node_format.cpp
  "for (int off = 0; off < 24; off += 2) x ^= get_le16(in + off);"
  "for (int off = 0; off < 22; off += 2) x ^= get_le16(in + off);"
  "parity leaves the depth word out"

  cbt/locking.cpp
  "if (!control_parity_ok(raw)) return op.fail(kErrParity, ctx);"
  "if (false && !control_parity_ok(raw)) return op.fail(kErrParity, ctx);"
  "control record parity not checked on read"

  cbt/locking.cpp
  "return sys_unlock(h, kLockRegionStart, op.bs - kLockRegionStart) == 1;"
  "return sys_unlock(h, kLockRegionStart, op.bs - kLockRegionStart - 1) == 1;"
  "writer unlock range one byte short"

  cbt/locking.cpp
  "if (sys_lock(h, kLockRegionStart, op.bs - kLockRegionStart, tries,"
  "if (sys_lock(h, kLockRegionStart, op.bs - kLockRegionStart - 1, tries,"
  "writer lock range one byte short"

  cbt/locking.cpp
  "if (count_change) f->cr.change_counter += 1;"
  "if (count_change) f->cr.change_counter += 0;"
  "change counter not bumped on commit"

  bufpool/bufpool.cpp
  $'for (BufferHeader *h = pool->lru_head; h != nullptr; h = h->next) {\n    if (h->use_count != 0) continue;'
  $'for (BufferHeader *h = pool->lru_tail; h != nullptr; h = h->prev) {\n    if (h->use_count != 0) continue;'
  "LRU victim chosen from the most recently used end"

  cbt/search.cpp
  "if (len > 0) std::memcpy(cur.key, leaf.key(i), len);"
  "if (len > 0) std::memcpy(cur.key, leaf.key(i), len - 1);"
  "cursor key copy one byte short"

  cbt/change.cpp
  "op.cr().key_count -= 1;"
  "op.cr().key_count -= 0;"
  "key_count not decremented on delete"

  cbt/insert.cpp
  "pr.node().set_left(out.block());"
  "pr.node().set_left(px.block());"
  "split leaves the old right neighbour's left link on the split node"

  cbt/search.cpp
  "if (cur.snapshot == op.file->last_seen || cur.state == kBeforeFirst ||"
  "if (true || cur.snapshot == op.file->last_seen || cur.state == kBeforeFirst ||"
  "stale cursor not re-validated"

  bufpool/bufpool.cpp
  "*p = h->hash_next;"
  "*p = h->hash_next != nullptr ? h->hash_next->hash_next : nullptr;"
  "hash chain unlink skips the next buffer"

  cbt/node_ops.cpp
  "return plan_text(op, pair, x, p).need <= room ? 0 : 1;"
  "return plan_text(op, pair, x, p).need < room ? 0 : 1;"
  "node room test off by one (an exact fit is refused)"

  cbt/node_ops.cpp
  "const int32_t room = (x.block_size() - kNodeHeader) - content_bytes(x);"
  "const int32_t room = (x.block_size() - kNodeHeader) - content_bytes(x) + 1;"
  "node room test off by one (one byte too many accepted)"

  cbt/delete.cpp
  "if (hit.result != 0) return op.fail(kErrNotFound, kCtxDeleteKey);"
  "if (hit.result != 0) return op.fail(kErrNotFound, kCtxFindLeaf);"
  "wrong context code when the pair to delete is missing"

  cbt/change.cpp
  $'if (tree->read_only) return publish(op, op.fail_err(kErrReadOnly));\n  return publish(op,\n'
  $'if (false) return publish(op, op.fail_err(kErrReadOnly));\n  return publish(op,\n'
  "cbinsert's read-only check dropped"

  cbt/locking.cpp
  "if (purge_all_blocks(op.lru) != 1) {"
  "if (false && purge_all_blocks(op.lru) != 1) {"
  "no purge of buffered blocks when the change counter moved"

  cbt/checker.cpp
  "if (n.left() != want_left) {"
  "if (false && n.left() != want_left) {"
  "checker misses a wrong left_sibling"

  cbt/checker.cpp
  "if (owner_[b] == kUnseen) {"
  "if (false && owner_[b] == kUnseen) {"
  "checker misses a block lost from both tree and free chain"

  cbt/tree.cpp
  "return item < other ? -1 : (item > other ? 1 : 0);"
  "return uint32_t(item) < uint32_t(other) ? -1 : (uint32_t(item) > uint32_t(other) ? 1 : 0);"
  "items compared unsigned instead of signed"

  cbt/insert.cpp
  "if (hit.result == 0) return op.fail(kErrDupPair, kCtxInsertKey);"
  "if (false) return op.fail(kErrDupPair, kCtxInsertKey);"
  "duplicate-pair check dropped"

  cbt/insert.cpp
  "if (keys_equal(op, pair.key, pair.len, side.node(), 0)) {"
  "if (false && keys_equal(op, pair.key, pair.len, side.node(), 0)) {"
  "equal key at the start of the right neighbour leaf not seen"

  cbt/delete.cpp
  "if (x.count() <= 1) {"
  "if (x.count() < 1) {"
  "a leaf losing its last pair is kept (empty) instead of freed"

  cbt/delete.cpp
  "cr.depth -= 1;"
  "cr.depth -= 0;"
  "root removal does not lower the depth"

  cbt/navigate.cpp
  "index = node.count() - 1;"
  "index = node.count() - 2;"
  "cbprev into the left leaf skips its last pair"

  cbt/change.cpp
  "if (len > op.bs - kKeyOverhead) {"
  "if (len >= op.bs - kKeyOverhead) {"
  "longest allowed key refused"

  cbt/handles.cpp
  "cr.root > last || cr.first_leaf > last || cr.last_leaf > last ||"
  "cr.first_leaf > last || cr.last_leaf > last ||"
  "open accepts a root beyond the last block"

  bufpool/bufpool.cpp
  "if (block_size > pool->buffer_size) {"
  "if (block_size >= pool->buffer_size) {"
  "open refuses a block size equal to the buffer size"

  frame/registry.cpp
  "set_link(prev, link_of(obj));"
  "set_link(prev, nullptr);"
  "del_member drops every member after the one removed"

  frame/platform_linux.cpp
  "return share_or_close(fd, shared != 0 ? LOCK_SH : LOCK_EX, writable == 0);"
  "return share_or_close(fd, LOCK_SH, writable == 0);"
  "exclusive open takes a shared file lock"

  frame/platform_linux.cpp
  $'if (n == 0) return fail(kShortTransfer);\n    done += n;\n  }\n  return 1;\n}\n\nint32_t native_write'
  $'if (n == 0) break;\n    done += n;\n  }\n  return 1;\n}\n\nint32_t native_write'
  "short read reported as success"
  cbt/insert.cpp
  "if (r == -1) undo.roll_back();"
  "if (false) undo.roll_back();"
  "a failed insert is not rolled back"

  cbt/undo.cpp
  "if (holds(b)) return 1;"
  "return 1;"
  "before-images never saved"

  cbt/handles.cpp
  "      code = kErrParity;"
  "      code = 0;"
  "a damaged block size is not reported as a parity error"

  cbt/locking.cpp
  "    f->control_pending = true;"
  "    f->control_pending = false;"
  "a failed control record write is not left pending"

  cbt/navigate.cpp
  "if (!node.leaf() || i >= node.count()) return false;"
  "if (!node.leaf() || i > node.count()) return false;"
  "a walk's step within its leaf runs past the last entry"
)
NFAULTS=$((${#FAULTS[@]} / 4))

list=0
only=""
while [ $# -gt 0 ]; do
  case "$1" in
    --list) list=1 ;;
    --only) only=",$2,"; shift ;;
    *) echo "usage: $0 [--list] [--only N[,M...]]" >&2; exit 2 ;;
  esac
  shift
done

chosen() { [ -z "$only" ] || [[ "$only" == *",$1,"* ]]; }

if [ "$list" -eq 1 ]; then
  for ((i = 0; i < NFAULTS; ++i)); do
    chosen $((i + 1)) || continue
    printf '#%-3d %s: %s\n' $((i + 1)) "${FAULTS[i * 4]}" "${FAULTS[i * 4 + 3]}"
  done
  exit 0
fi

if ! git diff --quiet -- "${LIB_DIRS[@]}"; then
  echo "mutants: ${LIB_DIRS[*]} have uncommitted changes; commit or stash first" >&2
  exit 2
fi

# The file under mutation and its saved bytes; restored on any exit.
backup_dir=$(mktemp -d)
current=""
restore() {
  if [ -n "$current" ]; then
    # A plain write gives the file a new time, so the next build recompiles
    # it from the restored text.
    cat "$backup_dir/orig" >"$current"
    current=""
  fi
}
cleanup() {
  restore
  rm -rf "$backup_dir"
}
trap cleanup EXIT
trap 'restore; exit 130' INT
trap 'restore; exit 143' TERM

# Count and replace literal text with bash's own string operations: the
# quoted pattern is never read as a glob or a regular expression.
count_of() {  # text pattern
  local text=$1 pat=$2
  local stripped=${text//"$pat"/}
  echo $(((${#text} - ${#stripped}) / ${#pat}))
}

build() {
  cmake --build "$BUILD_DIR" -j2 >"$backup_dir/build.log" 2>&1
}
run_suite() {
  ctest --test-dir "$BUILD_DIR" -j2 --timeout "$TIMEOUT" \
    >"$backup_dir/ctest.log" 2>&1
}
failed_tests() {
  sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' \
    "$backup_dir/ctest.log" |
    head -3 | paste -sd, -
}

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRECBASE_TESTS=ON -DRECBASE_TOOLS=ON >/dev/null || exit 2
if ! build; then
  cat "$backup_dir/build.log" >&2
  echo "mutants: the unmutated tree does not build" >&2
  exit 2
fi
if ! run_suite; then
  tail -30 "$backup_dir/ctest.log" >&2
  echo "mutants: the suite fails without any fault" >&2
  exit 2
fi

caught=0 missed=0 skipped=0 unbuilt=0 tried=0
for ((i = 0; i < NFAULTS; ++i)); do
  n=$((i + 1))
  chosen "$n" || continue
  file=${FAULTS[i * 4]}
  pat=${FAULTS[i * 4 + 1]}
  rep=${FAULTS[i * 4 + 2]}
  what=${FAULTS[i * 4 + 3]}
  tried=$((tried + 1))
  label=$(printf '#%-3d %s: %s' "$n" "$file" "$what")
  if [ ! -f "$file" ]; then
    printf '%-12s %s\n' "NOT APPLIED" "$label (no such file)"
    skipped=$((skipped + 1))
    continue
  fi
  # The x keeps trailing newlines through the command substitution.
  text=$(cat "$file"; printf x)
  text=${text%x}
  found=$(count_of "$text" "$pat")
  if [ "$found" -ne 1 ]; then
    printf '%-12s %s\n' "NOT APPLIED" "$label (text found $found times)"
    skipped=$((skipped + 1))
    continue
  fi
  cp "$file" "$backup_dir/orig"
  current=$file
  printf '%s' "${text/"$pat"/"$rep"}" >"$file"
  if ! build; then
    printf '%-12s %s\n' "NOT BUILT" "$label"
    unbuilt=$((unbuilt + 1))
  elif run_suite; then
    printf '%-12s %s\n' "MISSED" "$label"
    missed=$((missed + 1))
  else
    printf '%-12s %s [%s]\n' "CAUGHT" "$label" "$(failed_tests)"
    caught=$((caught + 1))
  fi
  restore
done

# Leave the build matching the sources again.
build || true
status=0
if ! git diff --quiet -- "${LIB_DIRS[@]}"; then
  echo "mutants: library sources differ from git after the run!" >&2
  status=3
fi
echo "summary: $caught caught, $missed missed, $skipped not applied," \
  "$unbuilt not built, of $tried faults"
[ "$missed" -eq 0 ] || [ "$status" -ne 0 ] || status=1
exit $status
