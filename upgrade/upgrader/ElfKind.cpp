#include "upgrade/upgrader/ElfKind.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace {
class TFile {
public:
    explicit TFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) {}
    ~TFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TFile(const TFile&) = delete;
    TFile& operator=(const TFile&) = delete;
    bool ReadAt(void* buffer, std::size_t size, std::uint64_t offset) const {
        return fd_ >= 0 && ::pread(fd_, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
    }

private:
    int fd_;
};

// Header and program headers of one ELF class, read in the machine's own byte order.
template <typename Ehdr, typename Phdr>
TElfKind ReadClass(const TFile& file, unsigned char elfClass, unsigned char data) {
    TElfKind kind;
    Ehdr header {};
    if (!file.ReadAt(&header, sizeof header, 0))
        return kind;
    kind.Class = elfClass;
    kind.Data = data;
    kind.Machine = header.e_machine;
    if (header.e_type == ET_EXEC) {
        kind.Executable = true;
    } else if (header.e_type == ET_DYN && header.e_phentsize == sizeof(Phdr) && header.e_phnum < 4096) {
        for (unsigned i = 0; i < header.e_phnum; ++i) {
            Phdr program {};
            if (!file.ReadAt(&program, sizeof program, header.e_phoff + std::uint64_t {i} * sizeof program))
                break;
            if (program.p_type == PT_INTERP) {
                kind.Executable = true;
                break;
            }
        }
    }
    return kind;
}

constexpr unsigned char NativeData = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
} // namespace

TElfKind ReadElfKind(const std::string& path) {
    TFile file(path);
    unsigned char ident[EI_NIDENT] {};
    if (!file.ReadAt(ident, sizeof ident, 0) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return {};
    if (ident[EI_DATA] != NativeData) {
        // Another byte order is another machine; its fields need not be read.
        TElfKind foreign;
        foreign.Executable = true;
        foreign.Class = ident[EI_CLASS];
        foreign.Data = ident[EI_DATA];
        return foreign;
    }
    if (ident[EI_CLASS] == ELFCLASS64)
        return ReadClass<Elf64_Ehdr, Elf64_Phdr>(file, ELFCLASS64, NativeData);
    if (ident[EI_CLASS] == ELFCLASS32)
        return ReadClass<Elf32_Ehdr, Elf32_Phdr>(file, ELFCLASS32, NativeData);
    return {};
}

bool IsScript(const std::string& path) {
    TFile file(path);
    char start[2] {};
    return file.ReadAt(start, sizeof start, 0) && start[0] == '#' && start[1] == '!';
}
