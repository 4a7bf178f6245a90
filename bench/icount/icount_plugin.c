// Guest instruction counter for 32-bit programs run under qemu's user-mode
// emulation: load it with `qemu-i386 -plugin libicount.so PROGRAM`.
//
// Every translated block adds its instruction count to one counter when it
// starts executing (an inline add, so counting costs no call). A guest reads
// the counter through a system call number that no kernel uses: the call's
// first argument is a descriptor (the write end of a pipe the guest made) and
// the counter's 8 bytes are written to it before the emulator answers ENOSYS.
// Outside the counter nobody writes, which the guest sees as "no count".
//
// The counter is one for the whole process: it suits single-threaded
// measurements, which is what the benchmarks make.
//
// This object is built for the machine that runs qemu, not for the guest.
// qemu ships no header for its plugin interface in Debian, so the few
// functions used here are declared below (plugin interface version 1).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#define ICOUNT_EXPORT __attribute__((visibility("default")))

typedef uint64_t qemu_plugin_id_t;
struct qemu_info_t;
struct qemu_plugin_tb;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };

typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb* tb);
typedef void (*qemu_plugin_vcpu_syscall_cb_t)(qemu_plugin_id_t id, unsigned int vcpu_index, int64_t num, uint64_t a1,
                                              uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6,
                                              uint64_t a7, uint64_t a8);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void* userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op, void* ptr,
                                              uint64_t imm);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_syscall_cb_t cb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void* userdata);
void qemu_plugin_outs(const char* string);

// The number the guest uses to read the counter (bench/icount.h has the
// same): far above any system call number of the i386 kernel.
#define ICOUNT_SYSCALL_READ 0x1C0C7

ICOUNT_EXPORT int qemu_plugin_version = 1;

static uint64_t executed;

static void OnTranslate(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
  (void)id;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed, qemu_plugin_tb_n_insns(tb));
}

static void OnSyscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1, uint64_t a2, uint64_t a3,
                      uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7, uint64_t a8) {
  (void)id, (void)vcpu, (void)a2, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
  if (num != ICOUNT_SYSCALL_READ) return;
  uint64_t now = executed;
  // A short or failed write leaves the guest's pipe empty: it then reports no count.
  if (write((int)(uint32_t)a1, &now, sizeof now) != (ssize_t)sizeof now) return;
}

static void OnExit(qemu_plugin_id_t id, void* userdata) {
  (void)id, (void)userdata;
  char line[64];
  snprintf(line, sizeof line, "icount: %llu guest instructions\n", (unsigned long long)executed);
  qemu_plugin_outs(line);  // shown with -d plugin
}

ICOUNT_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const struct qemu_info_t* info, int argc, char** argv) {
  (void)info, (void)argc, (void)argv;
  qemu_plugin_register_vcpu_tb_trans_cb(id, OnTranslate);
  qemu_plugin_register_vcpu_syscall_cb(id, OnSyscall);
  qemu_plugin_register_atexit_cb(id, OnExit, NULL);
  return 0;
}
