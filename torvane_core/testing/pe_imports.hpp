// The import address table of a loaded PE image (Windows only): the slots the loader filled with
// the functions the image takes from other DLLs, walked by name and rewritten, so that the test
// hooks and the benchmarks' counter can see the heap blocks an extension asks the C runtime for.
#pragma once

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

namespace torvane::pe {

// Calls visit(name, slot) for each function the image at `base` imports by name; `slot` is the
// entry of the address table that the image's calls go through.
template <class Visit>
void for_each_import(unsigned char* base, Visit&& visit) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         d->Name != 0; ++d) {
        // The names, and the slots the loader filled, side by side.
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
        auto* bound = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++bound) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* name =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            visit(reinterpret_cast<const char*>(name->Name),
                  reinterpret_cast<void**>(&bound->u1.Function));
        }
    }
}

// Writes `value` into a slot of the table, which the loader may have left read-only.
inline void write_slot(void** at, void* value) noexcept {
    DWORD was = 0;
    VirtualProtect(at, sizeof *at, PAGE_READWRITE, &was);
    *at = value;
    VirtualProtect(at, sizeof *at, was, &was);
}

}  // namespace torvane::pe
