// isam_bench: times the ISAM layer's whole-database work on one database,
// through the public interface only, and checks the results on the way.
//
// Phases, in order:
//   add      N + N/10 records (name S of 8..23 letters, id L distinct in
//            random order, city C, amount D) into a new database
//   delete   every eleventh record in file order (N/10 of them, leaving N
//            records and free areas in the data file)
//   imkindex an index over (name) and a unique one over (id) made over the
//            N records; the progress routine counts them
//   copy     icopy_db in the order of the name index into a new database
//            of the same index block size; the copy is walked by id and
//            must hold N records in id order
// Every phase prints its time and rate; file sizes are printed before the
// indexes are made, after, and for the copy. A wrong result is printed and
// the program exits with status 1.

#include <recbase/isam.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
  int64_t records = 200000;
  int32_t block_size = 4096;
  int32_t buffers = 4096;
  int32_t buffer_size = 4096;
  uint64_t seed = 20260101;
  std::string dir;
};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& what) {
  throw Failure(what + " (isam error " + std::to_string(iget_errno()) + " " +
                isammsg(iget_errno()) + ")");
}

int64_t g_progress_calls = 0;
void RBCALL count_progress(int32_t) { ++g_progress_calls; }

template <class Body>
void timed(const char* phase, Body body) {
  const auto start = std::chrono::steady_clock::now();
  const int64_t ops = body();
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - start;
  std::printf("%-10s %10lld ops %9.3f s %12.0f ops/s\n", phase,
              static_cast<long long>(ops), took.count(),
              took.count() > 0 ? static_cast<double>(ops) / took.count() : 0);
}

void sizes(const char* when, const std::string& base) {
  std::printf("%-24s %-12s data %12ju bytes  index %12ju bytes\n", when,
              fs::path(base).filename().c_str(),
              static_cast<uintmax_t>(fs::file_size(base + ".db")),
              static_cast<uintmax_t>(fs::file_size(base + ".idx")));
}

void run(const Options& o) {
  const std::string source = o.dir + "/source", copy = o.dir + "/copy";
  if (isaminit(o.buffers, o.buffer_size) != 1) fail("isaminit");
  const char* fields[] = {"name", "id,L", "city,C", "amount,D", nullptr};
  IsamDb* db = icreate_db(source.c_str(), o.block_size, fields);
  if (db == nullptr) fail("icreate_db");
  IsamIndex* physical = ihandle(db, iphysical);

  const int64_t total = o.records + o.records / 10;
  std::mt19937_64 rng(o.seed);
  std::vector<int32_t> ids(static_cast<size_t>(total));
  std::iota(ids.begin(), ids.end(), 0);
  std::shuffle(ids.begin(), ids.end(), rng);
  const char* cities[] = {"Oslo", "Bergen", "Trondheim", "Stavanger", "Molde"};
  timed("add", [&] {
    char name[32];
    for (int64_t i = 0; i < total; ++i) {
      const size_t len = 8 + rng() % 16;
      for (size_t c = 0; c < len; ++c) name[c] = char('a' + rng() % 26);
      name[len] = '\0';
      int32_t id = ids[size_t(i)];
      double amount = double(rng() % 100000) / 100;
      char* values[] = {name, reinterpret_cast<char*>(&id),
                        const_cast<char*>(cities[rng() % 5]),
                        reinterpret_cast<char*>(&amount), nullptr};
      if (iaddrec(db, nullptr, values) != 1) fail("iaddrec");
    }
    return total;
  });
  timed("delete", [&] {
    int64_t deleted = 0, seen = 0;
    int32_t r = ifindhead(db, physical);
    while (r == 1) {
      if (seen++ % 11 == 10) {
        if (idelrec(db, physical) != 1) fail("idelrec");
        ++deleted;
        // The index is left on the record that followed, or past the end.
        uint16_t length = 0;
        r = igetreclen(db, physical, &length);
      } else {
        r = ifindnext(db, physical);
      }
    }
    if (r != -3) fail("walk of the data file");
    return deleted;
  });
  if (iclose_db(db) != 1) fail("iclose_db");
  db = iopen_db(source.c_str());
  if (db == nullptr) fail("iopen_db");
  int64_t count = 0;
  for (int32_t r = ifindhead(db, ihandle(db, iphysical)); r == 1;
       r = ifindnext(db, ihandle(db, iphysical))) {
    ++count;
  }
  std::printf("records    %10lld\n", static_cast<long long>(count));
  sizes("before the indexes", source);

  iprogress(count_progress);
  const char* by_name[] = {"name", nullptr};
  const char* by_id[] = {"id,L", nullptr};
  timed("imkindex", [&] {
    if (imkindex(db, "byName", by_name) != 1) fail("imkindex byName");
    return count;
  });
  timed("imkindex,U", [&] {
    if (imkindex(db, "byId,U", by_id) != 1) fail("imkindex byId,U");
    return count;
  });
  if (g_progress_calls != 2 * count) fail("progress calls");
  iprogress(nullptr);
  if (iclose_db(db) != 1) fail("iclose_db");
  sizes("with the indexes", source);

  timed("icopy_db", [&] {
    if (icopy_db(source.c_str(), copy.c_str(), "byName", 0) != 1) {
      fail("icopy_db");
    }
    return count;
  });
  sizes("copy", copy);
  db = iopen_db(copy.c_str());
  if (db == nullptr) fail("iopen_db copy");
  IsamIndex* ix = ihandle(db, "byId,U");
  int64_t copied = 0;
  int32_t last = -1;
  char buffer[256];
  char* f[5];
  for (int32_t r = ifindhead(db, ix); r == 1; r = ifindnext(db, ix)) {
    if (igetrec(db, ix, f, buffer, sizeof buffer) != 1) fail("igetrec");
    int32_t id = 0;
    std::memcpy(&id, f[1], sizeof id);
    if (id <= last) fail("copy out of order");
    last = id;
    ++copied;
  }
  if (copied != count) fail("copy holds another number of records");
  if (iclose_db(db) != 1 || isamexit() != 1) fail("closing");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"isam_bench: imkindex and icopy_db over one database"};
  app.add_option("--records", o.records, "records left after the deletes");
  app.add_option("--block-size", o.block_size, "index file block size");
  app.add_option("--buffers", o.buffers, "pool buffers");
  app.add_option("--buffer-size", o.buffer_size, "pool buffer size");
  app.add_option("--seed", o.seed, "random seed");
  app.add_option("--dir", o.dir, "directory for the files (default: temp)");
  CLI11_PARSE(app, argc, argv);
  const bool own_dir = o.dir.empty();
  if (own_dir) {
    o.dir = (fs::temp_directory_path() /
             ("isam_bench." + std::to_string(std::random_device{}())))
                .string();
    fs::create_directories(o.dir);
  }
  std::printf("records %lld, block size %d, pool %d x %d bytes\n",
              static_cast<long long>(o.records), o.block_size, o.buffers,
              o.buffer_size);
  int status = 0;
  try {
    run(o);
  } catch (const Failure& e) {
    std::printf("FAILED: %s\n", e.what());
    status = 1;
  }
  if (own_dir) fs::remove_all(o.dir);
  return status;
}
