#include "hive/second_walker.h"

namespace tarvos::hive {

SecondWalker::SecondWalker(HiveImage& image, FrameTable& frames, bool firstClaim)
    : faults_(EngineServices{modes_, *this, *this, *this}),
      marks_(image, frames, faults_),
      values_(image, frames, marks_, faults_),
      security_(image, frames, marks_, faults_),
      walk_(image, frames, marks_, faults_, path_, values_, security_),
      firstClaim_(firstClaim) {
  faults_.Speculate(true);
  marks_.KeepOwnFlags();
}

bool SecondWalker::Start(WalkNode& root, uint32_t list, uint32_t stride, uint32_t owner, uint32_t count) {
  if (thread_.joinable()) thread_.join();
  stop_.store(false, std::memory_order_relaxed);
  outcome_ = WalkOutcome::Stop;
  done_.store(false, std::memory_order_relaxed);
  if (!security_.SetUp()) return false;
  try {
    thread_ = std::thread([=, this, &root] {
      outcome_ = walk_.RunShare(root, list, stride, owner, claims_, count);
      done_.store(true, std::memory_order_release);
    });
  } catch (...) {
    return false;
  }
  while (firstClaim_ && claims_.load(std::memory_order_relaxed) == 0 && !done_.load(std::memory_order_acquire)) {
    std::this_thread::yield();
  }
  return true;
}

bool SecondWalker::Finish() {
  if (thread_.joinable()) thread_.join();
  return outcome_ == WalkOutcome::Continue && !faults_.FaultSeen();
}

void SecondWalker::Stop() {
  stop_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) thread_.join();
}

}  // namespace tarvos::hive
