/* A minimal host: initialises the link that a flag word selects, sends command 0x05 with four
 * bytes of command data, prints the status and the response, and closes the link.
 *   host <flag word> [text]    for example: host 0x200 @/opt/efilink/lib/efilink/libefilink_sim.so */
#include <efilink/efilink.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    unsigned char command[4] = {0x01, 0x00, 0x00, 0x00}; /* in the host's byte order */
    unsigned char response[TS_MAX_TRANSFERSTRUCTS_SIZE];
    uint16_t received = 0;
    uint32_t status;
    unsigned i;

    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: host <flag word> [text]\n");
        return 2;
    }
    status = EfiInitializeInterfaces((uint32_t)strtoul(argv[1], NULL, 0), argc == 3 ? argv[2] : NULL);
    if (status == 0) status = EfiConnectCommandResponseInterface(); /* the serial links' handshake */
    if (status != 0) {
        fprintf(stderr, "host: the link did not open (0x%08lx)\n", (unsigned long)status);
        return 1;
    }

    status = EfiSendCommand(0x05, command, sizeof command, response, sizeof response, &received);
    printf("command 0x05: status 0x%08lx, %u bytes:", (unsigned long)status, status == 0 ? received : 0u);
    for (i = 0; status == 0 && i < received; ++i) printf(" %02x", response[i]);
    printf("\n");

    EfiCloseInterfaces(EFI_CLOSE_ALL_PORTS);
    return status == 0 ? 0 : 1;
}
