// The server's script engine as native code reaches it through core.so: the
// script types and one forwarder per engine function.
//
// The engine belongs to the server. Each amx_* function below jumps into the
// server's script-engine function table, which core.so receives when the
// server loads it, and passes the arguments and the result through untouched:
// none of them may be called before the server has loaded core.so. What a call
// does is the engine's business; the functions that return int return 0 on
// success and else the engine's error number. Buffers for names (amx_GetNative,
// amx_GetPublic, amx_GetPubVar, amx_GetTag, amx_FindTagId) need
// amx_NameLength + 1 characters; amx_GetString writes at most `size`
// characters, the terminating zero included.
#pragma once

#include <cstddef>
#include <cstdint>

// A script value: every argument, script address and result is one cell.
typedef int32_t cell;
typedef uint32_t ucell;

struct tagAMX;  // a script machine; its layout is the server's business

// A native: params[0] is the byte count of the arguments, params[1], ... the
// arguments.
typedef cell (*AmxNative)(tagAMX* amx, cell* params);
// The engine's hooks for native calls (amx_SetCallback) and for debugging
// (amx_SetDebugHook).
typedef int (*AmxCallback)(tagAMX* amx, cell index, cell* result, const cell* params);
typedef int (*AmxDebugHook)(tagAMX* amx);

// One entry of a native table; a table ends with an entry of two nulls.
struct AmxNativeEntry {
  const char* name;
  AmxNative function;
};

extern "C" {
uint16_t* amx_Align16(uint16_t* value);
uint32_t* amx_Align32(uint32_t* value);
int amx_Allot(tagAMX* amx, int cells, cell* amx_addr, cell** phys_addr);
int amx_Callback(tagAMX* amx, cell index, cell* result, const cell* params);
int amx_Cleanup(tagAMX* amx);
int amx_Clone(tagAMX* clone, tagAMX* source, void* data);
int amx_Exec(tagAMX* amx, cell* retval, int index);
int amx_FindNative(tagAMX* amx, const char* name, int* index);
int amx_FindPublic(tagAMX* amx, const char* name, int* index);
int amx_FindPubVar(tagAMX* amx, const char* name, cell* amx_addr);
int amx_FindTagId(tagAMX* amx, cell tag_id, char* tag_name);
int amx_Flags(tagAMX* amx, uint16_t* flags);
int amx_GetAddr(tagAMX* amx, cell amx_addr, cell** phys_addr);
int amx_GetNative(tagAMX* amx, int index, char* name);
int amx_GetPublic(tagAMX* amx, int index, char* name);
int amx_GetPubVar(tagAMX* amx, int index, char* name, cell* amx_addr);
int amx_GetString(char* dest, const cell* source, int use_wchar, std::size_t size);
int amx_GetTag(tagAMX* amx, int index, char* tag_name, cell* tag_id);
int amx_GetUserData(tagAMX* amx, long tag, void** pointer);
int amx_Init(tagAMX* amx, void* program);
int amx_InitJIT(tagAMX* amx, void* relocation_table, void* native_code);
int amx_MemInfo(tagAMX* amx, long* code_size, long* data_size, long* stack_heap);
int amx_NameLength(tagAMX* amx, int* length);
AmxNativeEntry* amx_NativeInfo(const char* name, AmxNative function);
int amx_NumNatives(tagAMX* amx, int* number);
int amx_NumPublics(tagAMX* amx, int* number);
int amx_NumPubVars(tagAMX* amx, int* number);
int amx_NumTags(tagAMX* amx, int* number);
int amx_Push(tagAMX* amx, cell value);
int amx_PushArray(tagAMX* amx, cell* amx_addr, cell** phys_addr, const cell array[], int cells);
int amx_PushString(tagAMX* amx, cell* amx_addr, cell** phys_addr, const char* text, int pack, int use_wchar);
int amx_RaiseError(tagAMX* amx, int error);
// number -1: the table ends at its entry of two nulls.
int amx_Register(tagAMX* amx, const AmxNativeEntry* list, int number);
int amx_Release(tagAMX* amx, cell amx_addr);
int amx_SetCallback(tagAMX* amx, AmxCallback callback);
int amx_SetDebugHook(tagAMX* amx, AmxDebugHook hook);
int amx_SetString(cell* dest, const char* source, int pack, int use_wchar, std::size_t size);
int amx_SetUserData(tagAMX* amx, long tag, void* pointer);
int amx_StrLen(const cell* cstring, int* length);
int amx_UTF8Check(const char* text, int* length);
int amx_UTF8Get(const char* text, const char** end, cell* value);
int amx_UTF8Len(const cell* cstring, int* length);
int amx_UTF8Put(char* text, char** end, int max_chars, cell value);
}
