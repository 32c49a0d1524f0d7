/* The device tests' start: the vector table and the reset handler, which
 * sets up .data and .bss, opens the semihosting handles (newlib's rdimon)
 * and runs main. Any fault reports itself and ends the run. */
#include <stdint.h>
#include <unistd.h>

extern uint32_t _sidata, _sdata, _edata, _sbss, _ebss, _stack_top;
extern int main(void);
extern void initialise_monitor_handles(void);

void Reset_Handler(void);
void Fault_Handler(void);

void Reset_Handler(void) {
  const uint32_t* from = &_sidata;
  uint32_t* to;
  for (to = &_sdata; to < &_edata;) *to++ = *from++;
  for (to = &_sbss; to < &_ebss;) *to++ = 0;
  initialise_monitor_handles();
  _exit(main());
}

void Fault_Handler(void) {
  static const char text[] = "device: FAIL: fault\n";
  write(1, text, sizeof text - 1);
  _exit(1);
}

/* Initial stack, reset, NMI, hard fault, then the other exceptions of the
 * Cortex-M4 (the Cortex-M0 has fewer and ignores the rest). */
__attribute__((section(".vectors"), used)) static void (*const vectors[16])(void) = {
    (void (*)(void))(uintptr_t)&_stack_top,
    Reset_Handler,
    Fault_Handler,
    Fault_Handler,
    Fault_Handler,
    Fault_Handler,
    Fault_Handler,
    0,
    0,
    0,
    0,
    Fault_Handler,
    Fault_Handler,
    0,
    Fault_Handler,
    Fault_Handler,
};
