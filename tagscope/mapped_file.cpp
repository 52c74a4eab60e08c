#include "mapped_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tagscope {
namespace {

// The mapping being read under guard, and whether a page of it faulted.
// Only the signal handler and the guarding thread touch these.
std::atomic<std::uintptr_t> guardedStart{0};
std::atomic<std::uintptr_t> guardedEnd{0};  // page-rounded end of the mapping
volatile sig_atomic_t guardedFault = 0;
struct sigaction previousAction {};

std::uintptr_t pageSize() {
  static const std::uintptr_t size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

// SIGBUS inside the guarded mapping: the rest of the mapping from the
// faulting page on becomes zero pages, so the read goes on and finishes.
// Any other SIGBUS goes to the action that was there before.
void onBusError(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const std::uintptr_t start = guardedStart.load(std::memory_order_relaxed);
  const std::uintptr_t end = guardedEnd.load(std::memory_order_relaxed);
  if (info->si_code > 0 && start != 0 && address >= start && address < end) {
    const std::uintptr_t page = address & ~(pageSize() - 1);
    void* zeros = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      guardedFault = 1;
      return;
    }
  }
  if (previousAction.sa_flags & SA_SIGINFO) {
    if (previousAction.sa_sigaction != nullptr) {
      previousAction.sa_sigaction(signal, info, context);
      return;
    }
  } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(signal);
    return;
  }
  // The default action: returning re-runs the faulting access, which now
  // ends the process as it would have without this handler.
  ::signal(SIGBUS, SIG_DFL);
  if (info->si_code <= 0) ::raise(signal);
}

void installHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    pageSize();
    struct sigaction action {};
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previousAction);
  });
}

// Marks the mapping as guarded for the lifetime of the object.
class Guard {
 public:
  Guard(const unsigned char* data, std::size_t size) {
    guardedFault = 0;
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    guardedEnd.store(start + ((size + pageSize() - 1) & ~(pageSize() - 1)));
    guardedStart.store(start);
  }
  ~Guard() {
    guardedStart.store(0);
    guardedEnd.store(0);
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

}  // namespace

MappedFile::MappedFile(const std::string& path) {
  if (path.find('\0') != std::string::npos) return;
  // Non-blocking, so that opening a FIFO never stalls the worker.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    void* p = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p != MAP_FAILED) {
      data_ = static_cast<const unsigned char*>(p);
      size_ = static_cast<std::size_t>(info.st_size);
    }
  }
  ::close(fd);
}

MappedFile::~MappedFile() {
  if (data_) ::munmap(const_cast<unsigned char*>(data_), size_);
}

bool MappedFile::guardedRead(const std::function<void(std::span<const unsigned char>)>& read) const {
  if (!data_) {
    read({});
    return true;
  }
  installHandler();
  Guard guard(data_, size_);
  read({data_, size_});
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return guardedFault == 0;
}

}  // namespace tagscope
