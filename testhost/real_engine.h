// The real script engine for the test host: the 32-bit abstract machine
// libembryo.so.1, loaded with dlopen (no 32-bit development package exists,
// so the few functions used are declared here), behind the 44-entry
// function table the host hands the plugin. The seven entries the plugin
// uses (amx_Register, amx_GetAddr, amx_StrLen, amx_GetString, amx_FindPublic,
// amx_Push, amx_Exec) are adapted onto the engine; every other entry logs
// the call and answers kEngineNotSupported.
//
// A CompiledScript is one program compiled with embryo_cc; the machine handle
// the plugin receives is the engine's own program object, which the engine
// also passes to natives, so the plugin's natives are registered unchanged.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "testhost/script_machine.h"

namespace testhost {

// The engine has no code for "operation not supported"; its "invalid index
// (bad entry point)" says that the table entry cannot be used.
constexpr int kEngineNotSupported = 20;

class RealEngine {
 public:
  // Loads libembryo.so.1; available() tells whether that worked, why() why not.
  RealEngine();
  ~RealEngine();
  RealEngine(const RealEngine&) = delete;
  RealEngine& operator=(const RealEngine&) = delete;

  bool available() const { return library_ != nullptr; }
  const std::string& why() const { return why_; }
  void** entries() { return entries_; }
  // The unsupported entries called, in order, as "amx_Flags (entry 12)".
  static std::vector<std::string>& unsupportedCalls();

 private:
  void* library_ = nullptr;
  std::string why_;
  void* entries_[kEngineTableSize];
};

class CompiledScript {
 public:
  // Loads compiled bytecode into the engine; loaded() tells whether it could.
  CompiledScript(RealEngine& engine, const std::string& path, std::string name);
  ~CompiledScript();
  CompiledScript(const CompiledScript&) = delete;
  CompiledScript& operator=(const CompiledScript&) = delete;

  bool loaded() const { return program_ != nullptr; }
  const std::string& name() const { return name_; }
  // What the plugin receives as the script machine.
  Machine* handle() { return reinterpret_cast<Machine*>(program_); }
  // Adds a native of the host's own, as the server adds its natives.
  void AddNative(const char* nativeName, Native function);
  // Runs a public with cell and string arguments, as the server runs its
  // callbacks. Returns the engine's error code (0 when it ran to its end).
  using Argument = std::variant<cell, std::string>;
  int RunPublic(const char* publicName, const std::vector<Argument>& args, cell* result = nullptr);

  std::vector<std::string> natives;  // names registered through amx_Register
  std::vector<cell> pushed;          // amx_Push values waiting for amx_Exec
  bool started = false;              // the engine has set up the program's memory

 private:
  void* program_ = nullptr;
  std::string name_;
};

}  // namespace testhost
