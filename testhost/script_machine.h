// A small model of the host's script engine: script machines with a cell
// memory holding strings, a natives registry and a list of publics, and the
// 44-entry function table the host hands to plugins. Only the seven
// operations the plugin relies on do real work; every other position is a
// distinct stub that records its position and arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testhost {

typedef int32_t cell;
typedef cell (*Native)(struct Machine* amx, cell* params);

constexpr int kEngineTableSize = 44;

// The seven operations core.so calls, placed at their positions in a host's
// engine table (the server's numbering, written here on its own so that a
// wrong position in the plugin shows).
struct EngineOperations {
  void* exec;
  void* findPublic;
  void* getAddr;
  void* getString;
  void* push;
  void* registerNatives;
  void* strLen;
};
inline void PlaceOperations(void** entries, const EngineOperations& operations) {
  entries[7] = operations.exec;
  entries[9] = operations.findPublic;
  entries[13] = operations.getAddr;
  entries[17] = operations.getString;
  entries[29] = operations.push;
  entries[33] = operations.registerNatives;
  entries[39] = operations.strLen;
}
// Engine error codes this model reports.
constexpr int kEngineOk = 0;
constexpr int kEngineNotFound = 19;
constexpr int kEngineBadAddress = 5;

// Result returned by the stub at table position p.
constexpr uint32_t StubResult(int position) { return 0x5EED0000u + static_cast<uint32_t>(position); }

// One call that reached the engine table.
struct EngineCall {
  int position;
  std::vector<uint32_t> args;  // the first words of the caller's argument list
};

// The opaque machine handle a plugin receives (the host's tagAMX).
struct Machine {
  class ScriptMachine* owner;
};

class ScriptMachine {
 public:
  explicit ScriptMachine(std::string name);
  ScriptMachine(const ScriptMachine&) = delete;
  ScriptMachine& operator=(const ScriptMachine&) = delete;

  Machine* handle() { return &handle_; }
  const std::string& name() const { return name_; }

  // Stores a string one character per cell and returns its script address.
  cell AllocString(const std::string& text);
  // Calls a registered native as a script would; fails the run if it is missing.
  cell CallNative(const std::string& native, const std::vector<cell>& args);
  bool HasNative(const std::string& native) const;
  // Defines a public the plugin can find and execute.
  void DefinePublic(const std::string& publicName, std::function<cell(const std::vector<cell>&)> body);

  struct Execution {
    std::string publicName;
    std::vector<cell> args;
  };
  std::vector<Execution> executions;
  std::vector<std::pair<std::string, Native>> natives;
  int registerResult = kEngineOk;  // what amx_Register answers

  // Engine operations (the table's real entries).
  int Register(const void* list, int number);
  int GetAddr(cell address, cell** physical);
  int FindPublic(const char* publicName, int* index);
  int Push(cell value);
  int Exec(cell* result, int index);

 private:
  struct Public {
    std::string name;
    std::function<cell(const std::vector<cell>&)> body;
  };
  Machine handle_;
  std::string name_;
  std::vector<cell> memory_;
  std::vector<Public> publics_;
  std::vector<cell> pushed_;
};

// The host's script-engine function table. With realOperations false every
// position is a recording stub (used to check the plugin's forwarders).
class EngineTable {
 public:
  explicit EngineTable(bool realOperations = true);
  void** entries() { return entries_; }
  static std::vector<EngineCall>& calls();

 private:
  void* entries_[kEngineTableSize];
};

}  // namespace testhost
