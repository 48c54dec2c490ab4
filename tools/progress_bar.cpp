#include "tools/progress_bar.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "recbase/isam.h"

namespace recbase::tool {

namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

ProgressBar *ProgressBar::current_ = nullptr;

ProgressBar::ProgressBar(std::string label, int64_t total, bool shown)
    : label_(std::move(label)),
      total_(total),
      shown_(shown && isatty(STDERR_FILENO) == 1),
      last_(std::chrono::steady_clock::now() - kRedrawInterval) {}

void ProgressBar::update(int64_t done) {
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < kRedrawInterval && done != total_) return;
  last_ = now;
  draw(done);
}

void ProgressBar::draw(int64_t done) {
  std::string line = "\r" + label_ + "  ";
  char figures[64];
  if (total_ > 0) {
    const int64_t clamped = done < total_ ? done : total_;
    const int filled = static_cast<int>(clamped * kBarWidth / total_);
    line += "[" + std::string(filled, '#') +
            std::string(kBarWidth - filled, '.') + "]";
    std::snprintf(figures, sizeof figures, " %3d%%  %" PRId64 "/%" PRId64,
                  static_cast<int>(clamped * 100 / total_), done, total_);
  } else {
    std::snprintf(figures, sizeof figures, "%" PRId64, done);
  }
  line += figures;
  line += "\x1b[K";  // erase what a longer earlier line left
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::restart(std::string label, int64_t total) {
  label_ = std::move(label);
  total_ = total;
  last_ = std::chrono::steady_clock::now() - kRedrawInterval;
}

void ProgressBar::finish() {
  if (!drawn_) return;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

ProgressBar::Routine::Routine(ProgressBar &bar) : saved_(current_) {
  current_ = &bar;
  iprogress(bar.shown() ? library_progress : nullptr);
}

ProgressBar::Routine::~Routine() {
  current_ = saved_;
  iprogress(saved_ != nullptr && saved_->shown() ? library_progress : nullptr);
}

void RBCALL ProgressBar::library_progress(int32_t count) {
  if (current_ != nullptr) current_->update(count);
}

}  // namespace recbase::tool
