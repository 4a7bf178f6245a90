#include "testhost/script_machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace testhost {
namespace {

// A native table entry as the plugin lays it out: name, function.
struct NativeEntry {
  const char* name;
  Native function;
};

std::vector<EngineCall>& Calls() {
  static std::vector<EngineCall> calls;
  return calls;
}

void Record(int position, std::vector<uint32_t> args) { Calls().push_back({position, std::move(args)}); }

uint32_t Word(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

ScriptMachine& Of(Machine* amx) { return *amx->owner; }

int Register(Machine* amx, const void* list, int number) {
  Record(33, {Word(amx), Word(list), static_cast<uint32_t>(number)});
  return Of(amx).Register(list, number);
}

int GetAddr(Machine* amx, cell address, cell** physical) {
  Record(13, {Word(amx), static_cast<uint32_t>(address), Word(physical)});
  return Of(amx).GetAddr(address, physical);
}

int StrLen(const cell* text, int* length) {
  Record(39, {Word(text), Word(length)});
  int n = 0;
  while (text[n] != 0) ++n;
  *length = n;
  return kEngineOk;
}

int GetString(char* dest, const cell* source, int useWide, size_t size) {
  Record(17, {Word(dest), Word(source), static_cast<uint32_t>(useWide), static_cast<uint32_t>(size)});
  if (size == 0) return kEngineOk;
  size_t i = 0;
  for (; i + 1 < size && source[i] != 0; ++i) dest[i] = static_cast<char>(source[i]);
  dest[i] = '\0';
  return kEngineOk;
}

int FindPublic(Machine* amx, const char* name, int* index) {
  Record(9, {Word(amx), Word(name), Word(index)});
  return Of(amx).FindPublic(name, index);
}

int Push(Machine* amx, cell value) {
  Record(29, {Word(amx), static_cast<uint32_t>(value)});
  return Of(amx).Push(value);
}

int Exec(Machine* amx, cell* result, int index) {
  Record(7, {Word(amx), Word(result), static_cast<uint32_t>(index)});
  return Of(amx).Exec(result, index);
}

// Stubs take six words: callers pop their own arguments, so reading more
// than were passed is harmless, and the test compares only what it passed.
template <int Position>
uint32_t Stub(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e, uint32_t f) {
  Record(Position, {a, b, c, d, e, f});
  return StubResult(Position);
}

template <int... P>
void FillStubs(void** entries, std::integer_sequence<int, P...>) {
  ((entries[P] = reinterpret_cast<void*>(&Stub<P>)), ...);
}

}  // namespace

std::vector<EngineCall>& EngineTable::calls() { return Calls(); }

EngineTable::EngineTable(bool realOperations) {
  FillStubs(entries_, std::make_integer_sequence<int, kEngineTableSize>());
  if (!realOperations) return;
  PlaceOperations(
      entries_, {reinterpret_cast<void*>(&Exec), reinterpret_cast<void*>(&FindPublic),
                 reinterpret_cast<void*>(&GetAddr), reinterpret_cast<void*>(&GetString), reinterpret_cast<void*>(&Push),
                 reinterpret_cast<void*>(&Register), reinterpret_cast<void*>(&StrLen)});
}

ScriptMachine::ScriptMachine(std::string name) : handle_{this}, name_(std::move(name)) {
  memory_.push_back(0);  // address 0 is never a string
}

cell ScriptMachine::AllocString(const std::string& text) {
  cell address = static_cast<cell>(memory_.size() * sizeof(cell));
  for (unsigned char c : text) memory_.push_back(c);
  memory_.push_back(0);
  return address;
}

bool ScriptMachine::HasNative(const std::string& native) const {
  for (const auto& entry : natives)
    if (entry.first == native) return true;
  return false;
}

cell ScriptMachine::CallNative(const std::string& native, const std::vector<cell>& args) {
  for (const auto& entry : natives) {
    if (entry.first != native) continue;
    std::vector<cell> params;
    params.push_back(static_cast<cell>(args.size() * sizeof(cell)));
    params.insert(params.end(), args.begin(), args.end());
    return entry.second(handle(), params.data());
  }
  std::fprintf(stderr, "testhost: script '%s' calls unregistered native %s\n", name_.c_str(), native.c_str());
  std::abort();
}

void ScriptMachine::DefinePublic(const std::string& publicName, std::function<cell(const std::vector<cell>&)> body) {
  publics_.push_back({publicName, std::move(body)});
}

int ScriptMachine::Register(const void* list, int number) {
  const NativeEntry* entries = static_cast<const NativeEntry*>(list);
  for (int i = 0; number < 0 ? entries[i].name != nullptr : i < number; ++i)
    natives.emplace_back(entries[i].name, entries[i].function);
  return registerResult;
}

int ScriptMachine::GetAddr(cell address, cell** physical) {
  if (address < 0 || address % 4 != 0 || static_cast<size_t>(address / 4) >= memory_.size()) return kEngineBadAddress;
  *physical = &memory_[address / 4];
  return kEngineOk;
}

int ScriptMachine::FindPublic(const char* publicName, int* index) {
  for (size_t i = 0; i < publics_.size(); ++i) {
    if (publics_[i].name == publicName) {
      *index = static_cast<int>(i);
      return kEngineOk;
    }
  }
  return kEngineNotFound;
}

int ScriptMachine::Push(cell value) {
  pushed_.push_back(value);
  return kEngineOk;
}

int ScriptMachine::Exec(cell* result, int index) {
  if (index < 0 || static_cast<size_t>(index) >= publics_.size()) return kEngineNotFound;
  // Arguments are pushed last to first, as the engine's stack holds them.
  std::vector<cell> args(pushed_.rbegin(), pushed_.rend());
  pushed_.clear();
  executions.push_back({publics_[index].name, args});
  cell value = publics_[index].body(args);
  if (result) *result = value;
  return kEngineOk;
}

}  // namespace testhost
