// What a block posted with `async` costs: PRODUCERS threads post BLOCKS small blocks in all (each
// closure fits std::function's own buffer) onto one serial queue or onto a global queue (the
// worker pool), and the program ends when every block has run.
//
//   queue_bench [--quick] [--queue serial|pool] [--producers N] [--blocks N] [--held]
//
// With --held the blocks wait while they are posted (the serial queue suspended; the pool's
// posts start no thread and its one worker is held), and it prints how much more heap malloc has
// in use with all of them waiting, in all and per block, and the process's peak resident size:
//   queued-heap-bytes 50331648
//   queued-heap-bytes-per-block 50.3
//   max-rss-kib 53124
// bench/compare_queue.sh runs this program built from the tree and from an earlier commit, under
// valgrind for the instructions per block and the allocations. --quick: a few blocks, to check
// that it still builds and runs.
#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/Queue.h"
#include "dispatch/Testing.h"

namespace {

// Signalled when `count` reaches `target`.
struct Countdown {
  std::mutex mutex;
  std::condition_variable reached;
  std::atomic<long> count{0};
  long target = 0;

  void add() {
    if (count.fetch_add(1) + 1 != target) return;
    std::lock_guard lock(mutex);
    reached.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex);
    reached.wait(lock, [this] { return count.load() == target; });
  }
};

Countdown gRan;
Countdown gGateHeld;  // the pool's one worker, held while the blocks are posted (--held)
Countdown gGateOpen;

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--quick] [--queue serial|pool] [--producers N] [--blocks N] [--held]\n", program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string kind = "serial";
  long producers = 1;
  long blocks = 200000;
  bool held = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      blocks = 64;
    } else if (arg == "--held") {
      held = true;
    } else if (arg == "--queue" && i + 1 < argc) {
      kind = argv[++i];
    } else if (arg == "--producers" && i + 1 < argc) {
      producers = std::atol(argv[++i]);
    } else if (arg == "--blocks" && i + 1 < argc) {
      blocks = std::atol(argv[++i]);
    } else {
      return usage(argv[0]);
    }
  }
  if ((kind != "serial" && kind != "pool") || producers < 1 || blocks < producers) return usage(argv[0]);

  const std::shared_ptr<platform::Queue> queue =
      kind == "serial" ? platform::Queue::serial("bench.queue") : platform::Queue::global(platform::QueuePriority::Default);
  gRan.target = blocks;
  gGateHeld.target = 1;
  gGateOpen.target = 1;
  if (held && kind == "serial") {
    queue->suspend();
  } else if (held) {
    platform::refuseNextWorkerJobs(static_cast<std::size_t>(blocks) + 1);
    queue->async([] {
      gGateHeld.add();
      gGateOpen.wait();
    });
    gGateHeld.wait();
  }

  const std::size_t heapBefore = mallinfo2().uordblks;
  std::vector<std::thread> threads;
  for (long p = 0; p < producers; ++p) {
    const long count = blocks / producers + (p < blocks % producers ? 1 : 0);
    threads.emplace_back([&queue, count] {
      for (long i = 0; i < count; ++i) queue->async([] { gRan.add(); });
    });
  }
  for (std::thread& thread : threads) thread.join();

  if (held) {
    const std::size_t heapQueued = mallinfo2().uordblks - heapBefore;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("queued-heap-bytes %zu\nqueued-heap-bytes-per-block %.1f\nmax-rss-kib %ld\n", heapQueued,
                static_cast<double>(heapQueued) / static_cast<double>(blocks), usage.ru_maxrss);
    if (kind == "serial") {
      queue->resume();
    } else {
      gGateOpen.add();
      platform::refuseNextWorkerJobs(0);
    }
  }
  gRan.wait();
  return 0;
}
