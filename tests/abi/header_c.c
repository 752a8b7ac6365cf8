/* Compiled as C: the public header must be valid C, and its helpers must agree with C++. */
#include <efilink/efilink.h>

uint32_t efi_c_pointer_word_round_trip(void)
{
    unsigned char structure[64] = {0};
    CommandHeader_TS command = {EFI_COMMAND_CODE_BASE + 5u, 4u, 16u, 0u};
    ResponseHeader_TS response = {0u, 0u, 0u, EFI_RESPONSE_MARKER};
    CRM crm = {&command, structure, &response, structure, 0, 0};
    SimulatorCommandProcessorFunction processor = 0;
    EfiMessageHandler handler = 0;
    (void)processor;
    (void)handler;
    (void)crm;
    EfiSetArrayElements(structure, 12u, structure + 20);
    return (uint32_t)((unsigned char*)EfiArrayElements(structure, 12u) - structure) +
           EfiArrayPointerWordOffset(86u);
}
