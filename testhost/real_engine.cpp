#include "testhost/real_engine.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace testhost {
namespace {

// The engine's C interface, as far as the test host uses it.
struct Program;
using EngineNative = cell (*)(Program*, cell*);
constexpr int kFunctionNone = 0x7fffffff;  // function_find: no such public
constexpr int kProgramOk = 1;              // program_run: ran to its end
constexpr int kEngineBadMemory = 5;        // invalid memory access
constexpr int kEngineNoMemory = 16;        // out of memory
constexpr int kEngineNotFoundCode = 19;
constexpr int kEngineNotLoaded = 22;  // not initialised

struct Api {
  int (*init)();
  Program* (*programLoad)(const char* file);
  void (*programFree)(Program*);
  void (*nativeCallAdd)(Program*, const char* name, EngineNative function);
  void (*vmPush)(Program*);
  int (*functionFind)(Program*, const char* name);
  int (*run)(Program*, int function);
  cell (*returnValue)(Program*);
  int (*errorGet)(Program*);
  void (*dataSet)(Program*, void* data);
  void* (*dataGet)(Program*);
  int (*stringLength)(Program*, const cell* text);
  void (*stringGet)(Program*, const cell* text, char* destination);
  cell* (*addressGet)(Program*, cell address);
  int (*cellPush)(Program*, cell value);
  int (*stringPush)(Program*, const char* text);
};
Api api;

// Every program loaded and not yet freed: amx_StrLen and amx_GetString get
// no machine, and the engine measures a string only with its program.
std::vector<Program*>& LivePrograms() {
  static std::vector<Program*> programs;
  return programs;
}

Program* Of(Machine* amx) { return reinterpret_cast<Program*>(amx); }
CompiledScript& ScriptOf(Machine* amx) { return *static_cast<CompiledScript*>(api.dataGet(Of(amx))); }

// A native table entry as the plugin lays it out: name, function.
struct NativeEntry {
  const char* name;
  Native function;
};

int Register(Machine* amx, const NativeEntry* list, int number) {
  if (ScriptOf(amx).started) std::fprintf(stderr, "testhost: natives registered after the script's first run\n");
  for (int i = 0; number < 0 ? list[i].name != nullptr : i < number; ++i) {
    api.nativeCallAdd(Of(amx), list[i].name, reinterpret_cast<EngineNative>(list[i].function));
    ScriptOf(amx).natives.emplace_back(list[i].name);
  }
  return kEngineOk;
}

int GetAddr(Machine* amx, cell address, cell** physical) {
  cell* p = api.addressGet(Of(amx), address);
  if (!p) return kEngineBadMemory;
  *physical = p;
  return kEngineOk;
}

// The length of a string in whichever program holds it; 0 for an empty
// string or one that lies in no program.
int LengthInAnyProgram(const cell* text, Program** owner) {
  for (Program* program : LivePrograms()) {
    int length = api.stringLength(program, text);
    if (length > 0) {
      *owner = program;
      return length;
    }
  }
  return 0;
}

int StrLen(const cell* text, int* length) {
  Program* owner = nullptr;
  *length = LengthInAnyProgram(text, &owner);
  return kEngineOk;
}

// The engine's copy takes no size: a string longer than the destination is
// copied whole into a buffer of its own and cut to size - 1 characters.
int GetString(char* destination, const cell* source, int /*useWide*/, size_t size) {
  if (size == 0) return kEngineOk;
  Program* owner = nullptr;
  size_t length = static_cast<size_t>(LengthInAnyProgram(source, &owner));
  if (length == 0) {
    destination[0] = '\0';
  } else if (length < size) {
    api.stringGet(owner, source, destination);
  } else {
    std::string whole(length, '\0');
    api.stringGet(owner, source, whole.data());
    std::memcpy(destination, whole.data(), size - 1);
    destination[size - 1] = '\0';
  }
  return kEngineOk;
}

int FindPublic(Machine* amx, const char* publicName, int* index) {
  int function = api.functionFind(Of(amx), publicName);
  if (function == kFunctionNone) return kEngineNotFoundCode;
  *index = function;
  return kEngineOk;
}

int Push(Machine* amx, cell value) {
  ScriptOf(amx).pushed.push_back(value);
  return kEngineOk;
}

// Runs a function with the arguments waiting in the engine. The program's
// memory is set up at its first run: the engine copies its native table
// then, so natives registered after that would never be found.
int Run(Program* program, int function, cell* result) {
  CompiledScript& script = *static_cast<CompiledScript*>(api.dataGet(program));
  if (!script.started) {
    api.vmPush(program);
    script.started = true;
  }
  if (api.run(program, function) != kProgramOk) return api.errorGet(program);
  if (result) *result = api.returnValue(program);
  return kEngineOk;
}

// amx_Push values go onto the machine's stack, so the last pushed is the first
// argument; the engine takes its arguments first to last.
int Exec(Machine* amx, cell* result, int index) {
  std::vector<cell> args = std::move(ScriptOf(amx).pushed);
  ScriptOf(amx).pushed.clear();
  for (auto it = args.rbegin(); it != args.rend(); ++it)
    if (!api.cellPush(Of(amx), *it)) return kEngineNoMemory;
  return Run(Of(amx), index, result);
}

const char* const kEntryNames[kEngineTableSize] = {
    "amx_Align16",      "amx_Align32",     "(no forwarder)",  "amx_Allot",      "amx_Callback",   "amx_Cleanup",
    "amx_Clone",        "amx_Exec",        "amx_FindNative",  "amx_FindPublic", "amx_FindPubVar", "amx_FindTagId",
    "amx_Flags",        "amx_GetAddr",     "amx_GetNative",   "amx_GetPublic",  "amx_GetPubVar",  "amx_GetString",
    "amx_GetTag",       "amx_GetUserData", "amx_Init",        "amx_InitJIT",    "amx_MemInfo",    "amx_NameLength",
    "amx_NativeInfo",   "amx_NumNatives",  "amx_NumPublics",  "amx_NumPubVars", "amx_NumTags",    "amx_Push",
    "amx_PushArray",    "amx_PushString",  "amx_RaiseError",  "amx_Register",   "amx_Release",    "amx_SetCallback",
    "amx_SetDebugHook", "amx_SetString",   "amx_SetUserData", "amx_StrLen",     "amx_UTF8Check",  "amx_UTF8Get",
    "amx_UTF8Len",      "amx_UTF8Put"};

// Callers pop their own arguments, so an entry that reads none serves any call.
template <int Position>
int NotSupported() {
  std::string call = std::string(kEntryNames[Position]) + " (entry " + std::to_string(Position) + ")";
  std::fprintf(stderr, "testhost: the real script engine does not support %s\n", call.c_str());
  RealEngine::unsupportedCalls().push_back(call);
  return kEngineNotSupported;
}

template <int... P>
void FillNotSupported(void** entries, std::integer_sequence<int, P...>) {
  ((entries[P] = reinterpret_cast<void*>(&NotSupported<P>)), ...);
}

// The engine's printf native writes through its support library's log, at
// the info level, which is off by default. The host shows those lines on
// standard output, where a server shows its scripts' printf, and the
// engine's own warnings and errors on standard error.
constexpr int kLogWarning = 2;
constexpr int kLogInfo = 3;

void EngineLog(const void* /*domain*/, int level, const char* /*file*/, const char* function, int /*line*/,
               const char* format, void* /*data*/, va_list args) {
  if (level == kLogInfo && function && std::strstr(function, "printf")) {
    std::vprintf(format, args);
  } else if (level <= kLogWarning) {
    std::fprintf(stderr, "script engine: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
  }
}

void ShowScriptOutput() {
  void* support = dlopen("libeina.so.1", RTLD_NOW | RTLD_NOLOAD);
  if (!support) return;
  using PrintCallback = void (*)(const void*, int, const char*, const char*, int, const char*, void*, va_list);
  auto setCallback = reinterpret_cast<void (*)(PrintCallback, void*)>(dlsym(support, "eina_log_print_cb_set"));
  auto setLevel = reinterpret_cast<void (*)(const char*, int)>(dlsym(support, "eina_log_domain_level_set"));
  if (setCallback && setLevel) {
    setCallback(&EngineLog, nullptr);
    setLevel("embryo", kLogInfo);
  }
  dlclose(support);  // only drops the reference taken here: the engine keeps it loaded
}

// Looks a function up; the first one missing is named in why.
template <typename Fn>
void Resolve(void* library, const char* symbol, Fn& function, std::string& why) {
  function = reinterpret_cast<Fn>(dlsym(library, symbol));
  if (!function && why.empty()) why = std::string("libembryo.so.1 lacks ") + symbol;
}

}  // namespace

std::vector<std::string>& RealEngine::unsupportedCalls() {
  static std::vector<std::string> calls;
  return calls;
}

RealEngine::RealEngine() {
  FillNotSupported(entries_, std::make_integer_sequence<int, kEngineTableSize>());
  PlaceOperations(
      entries_, {reinterpret_cast<void*>(&Exec), reinterpret_cast<void*>(&FindPublic),
                 reinterpret_cast<void*>(&GetAddr), reinterpret_cast<void*>(&GetString), reinterpret_cast<void*>(&Push),
                 reinterpret_cast<void*>(&Register), reinterpret_cast<void*>(&StrLen)});

  void* library = dlopen("libembryo.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* error = dlerror();
    why_ = std::string("the script engine is not installed (") + (error ? error : "dlopen failed") + ")";
    return;
  }
  Resolve(library, "embryo_init", api.init, why_);
  Resolve(library, "embryo_program_load", api.programLoad, why_);
  Resolve(library, "embryo_program_free", api.programFree, why_);
  Resolve(library, "embryo_program_native_call_add", api.nativeCallAdd, why_);
  Resolve(library, "embryo_program_vm_push", api.vmPush, why_);
  Resolve(library, "embryo_program_function_find", api.functionFind, why_);
  Resolve(library, "embryo_program_run", api.run, why_);
  Resolve(library, "embryo_program_return_value_get", api.returnValue, why_);
  Resolve(library, "embryo_program_error_get", api.errorGet, why_);
  Resolve(library, "embryo_program_data_set", api.dataSet, why_);
  Resolve(library, "embryo_program_data_get", api.dataGet, why_);
  Resolve(library, "embryo_data_string_length_get", api.stringLength, why_);
  Resolve(library, "embryo_data_string_get", api.stringGet, why_);
  Resolve(library, "embryo_data_address_get", api.addressGet, why_);
  Resolve(library, "embryo_parameter_cell_push", api.cellPush, why_);
  Resolve(library, "embryo_parameter_string_push", api.stringPush, why_);
  if (!why_.empty() || api.init() <= 0) {
    if (why_.empty()) why_ = "the script engine did not initialise";
    dlclose(library);
    return;
  }
  library_ = library;
  ShowScriptOutput();
}

// The engine stays loaded and initialised until the process ends, as in a
// server: its shut-down drops a few blocks of its support library's
// start-up memory, which valgrind would report as lost.
RealEngine::~RealEngine() = default;

CompiledScript::CompiledScript(RealEngine& engine, const std::string& path, std::string name) : name_(std::move(name)) {
  if (!engine.available()) return;
  Program* program = api.programLoad(path.c_str());
  if (!program) return;
  api.dataSet(program, this);
  LivePrograms().push_back(program);
  program_ = program;
}

CompiledScript::~CompiledScript() {
  if (!program_) return;
  Program* program = static_cast<Program*>(program_);
  std::vector<Program*>& live = LivePrograms();
  live.erase(std::remove(live.begin(), live.end(), program), live.end());
  api.programFree(program);
}

void CompiledScript::AddNative(const char* nativeName, Native function) {
  if (program_)
    api.nativeCallAdd(static_cast<Program*>(program_), nativeName, reinterpret_cast<EngineNative>(function));
}

int CompiledScript::RunPublic(const char* publicName, const std::vector<Argument>& args, cell* result) {
  Program* program = static_cast<Program*>(program_);
  if (!program) return kEngineNotLoaded;
  int function = api.functionFind(program, publicName);
  if (function == kFunctionNone) return kEngineNotFoundCode;
  for (const Argument& arg : args) {
    int pushed = std::holds_alternative<cell>(arg) ? api.cellPush(program, std::get<cell>(arg))
                                                   : api.stringPush(program, std::get<std::string>(arg).c_str());
    if (!pushed) return kEngineNoMemory;
  }
  return Run(program, function, result);
}

}  // namespace testhost
