// Loaded with LD_PRELOAD, makes one file fail like a disk with bad sectors: reads of it that reach
// into the bytes [HARROW_FAULT_FROM, HARROW_FAULT_TO) of HARROW_FAULT_FILE deliver what lies
// before them and then fail with HARROW_FAULT_ERRNO (EIO unless given: ENODEV makes a device that
// is gone). Every other read passes through.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using PreadFn = ssize_t (*)(int, void*, size_t, off_t);

struct Fault {
    bool armed = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t from = 0, to = 0;
    int error = EIO;
};

const Fault& fault() {
    static const Fault f = [] {
        Fault x;
        const char* file = std::getenv("HARROW_FAULT_FILE");
        const char* from = std::getenv("HARROW_FAULT_FROM");
        const char* to = std::getenv("HARROW_FAULT_TO");
        struct stat st {};
        if (!file || !from || !to || ::stat(file, &st) != 0) return x;
        x.armed = true;
        x.dev = st.st_dev;
        x.ino = st.st_ino;
        x.from = std::strtoll(from, nullptr, 10);
        x.to = std::strtoll(to, nullptr, 10);
        if (const char* e = std::getenv("HARROW_FAULT_ERRNO")) x.error = std::atoi(e);
        return x;
    }();
    return f;
}

ssize_t faultyPread(PreadFn real, int fd, void* buf, size_t count, off_t offset) {
    const Fault& f = fault();
    struct stat st {};
    if (!f.armed || ::fstat(fd, &st) != 0 || st.st_dev != f.dev || st.st_ino != f.ino ||
        offset + static_cast<off_t>(count) <= f.from || offset >= f.to)
        return real(fd, buf, count, offset);
    if (offset < f.from) return real(fd, buf, static_cast<size_t>(f.from - offset), offset);
    errno = f.error;
    return -1;
}

}  // namespace

extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
    static const auto real = reinterpret_cast<PreadFn>(dlsym(RTLD_NEXT, "pread"));
    return faultyPread(real, fd, buf, count, offset);
}

extern "C" ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
    static const auto real = reinterpret_cast<PreadFn>(dlsym(RTLD_NEXT, "pread64"));
    return faultyPread(real, fd, buf, count, offset);
}
