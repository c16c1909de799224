#include "library_image.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace zevhost {
namespace {

#if defined(__x86_64__)
constexpr unsigned kJumpSlot = R_X86_64_JUMP_SLOT;
constexpr unsigned kGlobalData = R_X86_64_GLOB_DAT;
#elif defined(__aarch64__)
constexpr unsigned kJumpSlot = R_AARCH64_JUMP_SLOT;
constexpr unsigned kGlobalData = R_AARCH64_GLOB_DAT;
#else
#error "zev-host reads the GOT of x86_64 and aarch64 images only"
#endif

struct Function {
    std::uintptr_t offset;
    std::uintptr_t size;
    std::string name;
};

struct Image {
    std::string path;
    std::string file_name;  // the path's last component, for descriptions
    std::uintptr_t base = 0;
    const ElfW(Dyn)* dynamic = nullptr;
    std::uintptr_t relro_begin = 0, relro_end = 0;
    std::vector<Function> functions;  // sorted by offset
};

// Written once, before any library code runs; read by wrappers on any thread.
std::atomic<std::uintptr_t> g_code_begin{0};
std::atomic<std::uintptr_t> g_code_end{0};
Image g_image;

struct Search {
    const void* address;
    bool found = false;
};

int findImage(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<Search*>(data);
    auto wanted = reinterpret_cast<std::uintptr_t>(search->address);
    bool contains = false;
    std::uintptr_t code_begin = UINTPTR_MAX, code_end = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        std::uintptr_t end = begin + segment.p_memsz;
        if (segment.p_type == PT_LOAD) {
            contains = contains || (wanted >= begin && wanted < end);
            if (segment.p_flags & PF_X) {
                code_begin = std::min(code_begin, begin);
                code_end = std::max(code_end, end);
            }
        } else if (segment.p_type == PT_DYNAMIC) {
            g_image.dynamic = reinterpret_cast<const ElfW(Dyn)*>(begin);
        } else if (segment.p_type == PT_GNU_RELRO) {
            g_image.relro_begin = begin;
            g_image.relro_end = end;
        }
    }
    if (!contains) {
        g_image.dynamic = nullptr;
        g_image.relro_begin = g_image.relro_end = 0;
        return 0;
    }
    g_image.base = info->dlpi_addr;
    g_code_begin = code_begin;
    g_code_end = code_end;
    search->found = true;
    return 1;
}

// A function's name without its parameters or the anonymous namespace:
// "startRecording", "JNIEnv_::CallObjectMethod".
std::string shortName(const char* mangled) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : mangled;
    std::free(demangled);
    const std::string anonymous = "(anonymous namespace)::";
    for (std::size_t at; (at = name.find(anonymous)) != std::string::npos;) {
        name.erase(at, anonymous.size());
    }
    std::size_t parameters = name.find('(');
    return parameters == std::string::npos ? name : name.substr(0, parameters);
}

// The function symbols of the file's own symbol table (the dynamic one lists
// only the exports). A stripped library simply has none.
void readFunctions(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < sizeof(ElfW(Ehdr))) {
        return;
    }
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(file.data());
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_shoff == 0 ||
        header->e_shoff + header->e_shnum * sizeof(ElfW(Shdr)) > file.size()) {
        return;
    }
    const auto* sections = reinterpret_cast<const ElfW(Shdr)*>(file.data() + header->e_shoff);
    for (int i = 0; i < header->e_shnum; ++i) {
        const ElfW(Shdr)& symbols = sections[i];
        if (symbols.sh_type != SHT_SYMTAB || symbols.sh_link >= header->e_shnum) {
            continue;
        }
        const ElfW(Shdr)& strings = sections[symbols.sh_link];
        if (symbols.sh_offset + symbols.sh_size > file.size() ||
            strings.sh_offset + strings.sh_size > file.size()) {
            return;
        }
        const auto* first = reinterpret_cast<const ElfW(Sym)*>(file.data() + symbols.sh_offset);
        std::size_t count = symbols.sh_size / sizeof(ElfW(Sym));
        for (std::size_t s = 0; s < count; ++s) {
            const ElfW(Sym)& symbol = first[s];
            if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_size == 0 ||
                symbol.st_name >= strings.sh_size) {
                continue;
            }
            const char* name = file.data() + strings.sh_offset + symbol.st_name;
            g_image.functions.push_back({symbol.st_value, symbol.st_size, shortName(name)});
        }
    }
    std::sort(g_image.functions.begin(), g_image.functions.end(),
              [](const Function& a, const Function& b) { return a.offset < b.offset; });
}

// Dynamic-section addresses: relocated in place by the loader on some
// systems, left as offsets on others.
std::uintptr_t dynamicAddress(ElfW(Addr) value) {
    return value < g_image.base ? g_image.base + value : value;
}

bool writeSlot(void** slot, void* value) {
    long page_size = sysconf(_SC_PAGESIZE);
    auto address = reinterpret_cast<std::uintptr_t>(slot);
    auto* page = reinterpret_cast<void*>(address & ~static_cast<std::uintptr_t>(page_size - 1));
    if (mprotect(page, static_cast<size_t>(page_size), PROT_READ | PROT_WRITE) != 0) {
        return false;
    }
    *slot = value;
    // Entries the loader made read-only after relocation stay read-only.
    if (address >= g_image.relro_begin && address < g_image.relro_end) {
        mprotect(page, static_cast<size_t>(page_size), PROT_READ);
    }
    return true;
}

}  // namespace

bool openLibraryImage(void* handle, std::string* error) {
    void* entry = dlsym(handle, "JNI_OnLoad");
    Dl_info info{};
    if (!entry || !dladdr(entry, &info) || !info.dli_fname) {
        *error = "cannot locate the library's image";
        return false;
    }
    Search search{entry};
    dl_iterate_phdr(findImage, &search);
    if (!search.found || !g_image.dynamic) {
        *error = "cannot read the program headers of " + std::string(info.dli_fname);
        return false;
    }
    g_image.path = info.dli_fname;
    const char* slash = std::strrchr(info.dli_fname, '/');
    g_image.file_name = slash ? slash + 1 : info.dli_fname;
    readFunctions(g_image.path);
    return true;
}

bool inLibrary(const void* address) {
    auto a = reinterpret_cast<std::uintptr_t>(address);
    return a >= g_code_begin.load(std::memory_order_relaxed) &&
           a < g_code_end.load(std::memory_order_relaxed);
}

std::string describeLibraryAddress(const void* address) {
    std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(address) - g_image.base;
    char where[64];
    std::snprintf(where, sizeof where, "%s+0x%zx", g_image.file_name.c_str(),
                  static_cast<std::size_t>(offset));
    auto after = std::upper_bound(
        g_image.functions.begin(), g_image.functions.end(), offset,
        [](std::uintptr_t o, const Function& f) { return o < f.offset; });
    if (after == g_image.functions.begin()) {
        return where;
    }
    const Function& f = *std::prev(after);
    if (offset >= f.offset + f.size) {
        return where;
    }
    char within[32];
    std::snprintf(within, sizeof within, "+0x%zx", static_cast<std::size_t>(offset - f.offset));
    return f.name + within + " (" + where + ")";
}

bool replaceLibraryImport(const char* symbol, void* replacement) {
    if (!g_image.dynamic) {
        return false;
    }
    const ElfW(Sym)* symbols = nullptr;
    const char* strings = nullptr;
    const ElfW(Rela)* tables[2] = {nullptr, nullptr};
    std::size_t sizes[2] = {0, 0};
    for (const ElfW(Dyn)* d = g_image.dynamic; d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
        case DT_SYMTAB: symbols = reinterpret_cast<const ElfW(Sym)*>(dynamicAddress(d->d_un.d_ptr)); break;
        case DT_STRTAB: strings = reinterpret_cast<const char*>(dynamicAddress(d->d_un.d_ptr)); break;
        case DT_JMPREL: tables[0] = reinterpret_cast<const ElfW(Rela)*>(dynamicAddress(d->d_un.d_ptr)); break;
        case DT_PLTRELSZ: sizes[0] = d->d_un.d_val; break;
        case DT_RELA: tables[1] = reinterpret_cast<const ElfW(Rela)*>(dynamicAddress(d->d_un.d_ptr)); break;
        case DT_RELASZ: sizes[1] = d->d_un.d_val; break;
        default: break;
        }
    }
    if (!symbols || !strings) {
        return false;
    }
    bool replaced = false;
    for (int t = 0; t < 2; ++t) {
        for (std::size_t i = 0; tables[t] && i < sizes[t] / sizeof(ElfW(Rela)); ++i) {
            const ElfW(Rela)& r = tables[t][i];
            unsigned type = ELF64_R_TYPE(r.r_info);
            if ((type != kJumpSlot && type != kGlobalData) ||
                std::strcmp(strings + symbols[ELF64_R_SYM(r.r_info)].st_name, symbol) != 0) {
                continue;
            }
            auto** slot = reinterpret_cast<void**>(g_image.base + r.r_offset);
            if (!writeSlot(slot, replacement)) {
                return false;
            }
            replaced = true;
        }
    }
    return replaced;
}

}  // namespace zevhost
