// Forwarders for the host's script-engine functions.
//
// Each amx_* symbol loads the host's table (pAMXFunctions) and jumps into its
// entry, so the caller's arguments, return address and result pass through
// untouched whatever the function's signature. The table address is reached
// relative to the GOT, as the plugin is position independent.
#include "amxplugin.h"

#include "amx/amx.h"

extern "C" {
void** pAMXFunctions = nullptr;
}

// clang-format off
#define AMX_FORWARD(name, position)                                   \
  asm(".text\n"                                                       \
      ".globl " #name "\n"                                            \
      ".type " #name ", @function\n"                                  \
      ".p2align 4\n" #name ":\n"                                      \
      "  call 1f\n"                                                   \
      "1: popl %ecx\n"                                                \
      "  addl $_GLOBAL_OFFSET_TABLE_+(.-1b), %ecx\n"                  \
      "  movl pAMXFunctions@GOTOFF(%ecx), %eax\n"                     \
      "  jmp *(4*" #position ")(%eax)\n"                              \
      ".size " #name ", .-" #name "\n");
// clang-format on

// Position 2 of the table has no forwarder.
AMX_FORWARD(amx_Align16, 0)
AMX_FORWARD(amx_Align32, 1)
AMX_FORWARD(amx_Allot, 3)
AMX_FORWARD(amx_Callback, 4)
AMX_FORWARD(amx_Cleanup, 5)
AMX_FORWARD(amx_Clone, 6)
AMX_FORWARD(amx_Exec, 7)
AMX_FORWARD(amx_FindNative, 8)
AMX_FORWARD(amx_FindPublic, 9)
AMX_FORWARD(amx_FindPubVar, 10)
AMX_FORWARD(amx_FindTagId, 11)
AMX_FORWARD(amx_Flags, 12)
AMX_FORWARD(amx_GetAddr, 13)
AMX_FORWARD(amx_GetNative, 14)
AMX_FORWARD(amx_GetPublic, 15)
AMX_FORWARD(amx_GetPubVar, 16)
AMX_FORWARD(amx_GetString, 17)
AMX_FORWARD(amx_GetTag, 18)
AMX_FORWARD(amx_GetUserData, 19)
AMX_FORWARD(amx_Init, 20)
AMX_FORWARD(amx_InitJIT, 21)
AMX_FORWARD(amx_MemInfo, 22)
AMX_FORWARD(amx_NameLength, 23)
AMX_FORWARD(amx_NativeInfo, 24)
AMX_FORWARD(amx_NumNatives, 25)
AMX_FORWARD(amx_NumPublics, 26)
AMX_FORWARD(amx_NumPubVars, 27)
AMX_FORWARD(amx_NumTags, 28)
AMX_FORWARD(amx_Push, 29)
AMX_FORWARD(amx_PushArray, 30)
AMX_FORWARD(amx_PushString, 31)
AMX_FORWARD(amx_RaiseError, 32)
AMX_FORWARD(amx_Register, 33)
AMX_FORWARD(amx_Release, 34)
AMX_FORWARD(amx_SetCallback, 35)
AMX_FORWARD(amx_SetDebugHook, 36)
AMX_FORWARD(amx_SetString, 37)
AMX_FORWARD(amx_SetUserData, 38)
AMX_FORWARD(amx_StrLen, 39)
AMX_FORWARD(amx_UTF8Check, 40)
AMX_FORWARD(amx_UTF8Get, 41)
AMX_FORWARD(amx_UTF8Len, 42)
AMX_FORWARD(amx_UTF8Put, 43)
