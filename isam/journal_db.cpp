// A database's rollback journal (isam/journal_db.h).
#include "isam/journal_db.h"

#include "bufpool/journal.h"
#include "cbt/journal_link.h"

namespace recbase::isam {

int32_t g_db_journal = 0;

namespace {

// The index file's writer lock region, after its control record.
constexpr JournalLock kDbLock{1, 36};

}  // namespace

IsamError recover_db_journal(const DbPaths &paths, int32_t shared,
                             bool *present) {
  *present = platform_file_exists(paths.journal) == 1;
  if (!*present) return kIsOk;
  const char *names[2] = {paths.data, paths.index};
  return journal_recover(paths.journal, names, 2, shared != 0 ? 1 : 0,
                         kDbLock) < 0
             ? kIsIo
             : kIsOk;
}

IsamError attach_db_journal(IsamDb *db, const DbPaths &paths) {
  const char *names[2] = {paths.data, paths.index};
  Journal *j = journal_open(paths.journal, names, 2, db->shared,
                            db->read_only == 0 ? 1 : 0, kDbLock);
  if (j == nullptr) return kIsIo;
  journal_attach(j, 0, db->data_handle, kJournalPage);
  db->journal = j;
  attach_db_index(db, paths.index);
  return kIsOk;
}

void attach_db_index(IsamDb *db, const char *index_path) {
  journal_attach(db->journal, 1, cbt::tree_file_handle(db->desc_tree),
                 cbblksize(index_path));
  cbt::attach_database_journal(db->desc_tree, db->journal, 1);
}

void detach_db_index(IsamDb *db) {
  journal_attach(db->journal, 1, -1, kJournalPage);
}

IsamError guard_data_write(IsamDb *db, int32_t position, int32_t len) {
  if (position < 0 || len < 0) return kIsOk;  // the write itself refuses
  return journal_protect(db->journal, 0, static_cast<uint32_t>(position),
                         static_cast<uint32_t>(len)) == 1
             ? kIsOk
             : kIsIo;
}

void save_db_images(IsamDb *db) {
  // A failure here is met again, and reported, by the writes' own guards.
  if (db->desc_tree == nullptr || cbt::save_tree_images(db->desc_tree) == 1) {
    journal_sync(db->journal);
  }
}

IsamError end_db_journal(IsamDb *db) {
  if (db->journal == nullptr) return kIsOk;
  return journal_end(db->journal) == 1 ? kIsOk : kIsIo;
}

IsamError commit_db_journal(IsamDb *db) {
  Journal *j = db->journal;
  if (j == nullptr || !journal_active(j)) return kIsOk;
  save_db_images(db);
  if (sys_flush(db->data_handle) != 1) return kIsIo;
  if (cbflush(db->desc_tree) != 1) return kIsCbt;
  return end_db_journal(db);
}

void close_db_journal(IsamDb *db) {
  journal_close(db->journal);
  db->journal = nullptr;
}

}  // namespace recbase::isam

extern "C" {

RBAPI int32_t RBCALL iset_journal(int32_t on) {
  const int32_t previous = recbase::isam::g_db_journal;
  recbase::isam::g_db_journal = on != 0 ? 1 : 0;
  return previous;
}

RBAPI int32_t RBCALL ijournal_hot(const char *name) {
  if (name == nullptr) return -1;
  recbase::isam::DbPaths paths;
  if (recbase::isam::build_paths(name, &paths) != recbase::kIsOk) {
    return -1;
  }
  return recbase::journal_hot_at(paths.journal);
}

}  // extern "C"
