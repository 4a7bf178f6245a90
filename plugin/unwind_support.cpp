// The plugin carries its own copy of the C++ runtime and stack unwinder,
// linked statically so that it needs nothing from the server machine but the
// C library. Two details make that copy work inside any host:
//
// - The unwinder finds the unwind tables of loaded objects through
//   _dl_find_object, which only C libraries from 2022 on provide. The
//   definition below, built on dl_iterate_phdr, takes its place inside the
//   plugin, so the plugin still loads on older server machines.
// - When the host throws and its own unwinder carries the exception through a
//   plugin frame (a host operation failing inside the scoreboard handler),
//   the plugin's copy answers for that frame with register tables it sets up
//   on first use. Priming it at load makes that first use happen here.
// - The runtime reserves an emergency pool for exceptions when it starts and
//   never frees it: in a program that lasts until exit, but a plugin can be
//   unloaded and loaded again. It is handed back when the object is unloaded,
//   where the runtime is the plugin's own copy: a build against the shared
//   runtime (the sanitizer build) must leave that runtime's pool, which the
//   whole process shares, alone.
#include <dlfcn.h>
#include <link.h>
#include <unwind.h>

#include <cstdint>

namespace __gnu_cxx {
void __freeres() noexcept;  // the runtime's own release of its start-up reserve
}

namespace {

struct Search {
  uintptr_t pc;
  dl_find_object* result;
  bool found;
};

int VisitObject(dl_phdr_info* info, size_t, void* data) {
  Search* search = static_cast<Search*>(data);
  uintptr_t low = UINTPTR_MAX, high = 0;
  bool contains = false;
  const ElfW(Phdr)* ehFrame = nullptr;
  const ElfW(Phdr)* dynamic = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type == PT_LOAD) {
      uintptr_t start = info->dlpi_addr + segment.p_vaddr;
      uintptr_t end = start + segment.p_memsz;
      if (search->pc >= start && search->pc < end) contains = true;
      if (start < low) low = start;
      if (end > high) high = end;  // GCOVR_EXCL_BR_LINE: PT_LOAD segments come in ascending order
    } else if (segment.p_type == PT_GNU_EH_FRAME) {
      ehFrame = &segment;
    } else if (segment.p_type == PT_DYNAMIC) {
      dynamic = &segment;
    }
  }
  if (!contains) return 0;

  dl_find_object* r = search->result;
  *r = dl_find_object();
  r->dlfo_map_start = reinterpret_cast<void*>(low);
  r->dlfo_map_end = reinterpret_cast<void*>(high);
  // GCOVR_EXCL_BR_START: the objects searched (the plugin's and the runtime's code) all have these entries
  r->dlfo_eh_frame = ehFrame ? reinterpret_cast<void*>(info->dlpi_addr + ehFrame->p_vaddr) : nullptr;
#if DLFO_STRUCT_HAS_EH_DBASE
  // The data base is the object's GOT; the dynamic loader has already
  // relocated the dynamic section's entries in place.
  if (dynamic) {
    for (const ElfW(Dyn)* d = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + dynamic->p_vaddr);
         d->d_tag != DT_NULL; ++d) {
      if (d->d_tag == DT_PLTGOT) {
        r->dlfo_eh_dbase = reinterpret_cast<void*>(d->d_un.d_ptr);
        break;
      }
    }
  }
#else
  (void)dynamic;
#endif
  // GCOVR_EXCL_BR_STOP
  search->found = true;
  return 1;
}

_Unwind_Reason_Code StopAtFirstFrame(_Unwind_Context*, void*) { return _URC_END_OF_STACK; }

__attribute__((constructor)) void PrimeUnwinder() { _Unwind_Backtrace(StopAtFirstFrame, nullptr); }

__attribute__((destructor)) void ReleaseRuntimeReserve() {
  dl_find_object runtime, plugin;
  // GCOVR_EXCL_BR_START: both are found; the runtime is another object only in the sanitizer build
  if (_dl_find_object(reinterpret_cast<void*>(&__gnu_cxx::__freeres), &runtime) == 0 &&
      _dl_find_object(reinterpret_cast<void*>(&ReleaseRuntimeReserve), &plugin) == 0 &&
      runtime.dlfo_map_start == plugin.dlfo_map_start)
    __gnu_cxx::__freeres();
  // GCOVR_EXCL_BR_STOP
}

}  // namespace

extern "C" int _dl_find_object(void* address, dl_find_object* result) noexcept {
  Search search{reinterpret_cast<uintptr_t>(address), result, false};
  dl_iterate_phdr(VisitObject, &search);
  return search.found ? 0 : -1;  // GCOVR_EXCL_BR_LINE: the unwinder asks for code addresses only
}
