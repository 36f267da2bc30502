/* The least a receiver can do and still replace metadata.txt atomically:
 * recv, write a temporary file, rename. The benchmark's physical floor.
 * Usage: minimal_receiver PORT (run in the folder that gets metadata.txt). */
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static volatile sig_atomic_t stop;
static void on_term(int sig)
{
    (void)sig;
    stop = 1;
}

int main(int argc, char **argv)
{
    static char buffer[65536 + 4];
    long burst_items = 0;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[1]))};
    struct sigaction action = {.sa_handler = on_term};
    if (argc < 2 || bind(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        perror("bind");
        return 1;
    }
    sigaction(SIGTERM, &action, NULL);
    while (!stop) {
        ssize_t n = recv(fd, buffer, 65536, 0);
        if (n < 0) {
            continue;
        }
        memcpy(buffer + n, "\r\n\r\n", 4);
        int out = open("metadata.txt.tmp", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || write(out, buffer, (size_t)n + 4) < 0 || close(out) != 0
            || rename("metadata.txt.tmp", "metadata.txt") != 0) {
            perror("metadata.txt");
        }
        if (n >= 5 && memcmp(buffer, "Burst", 5) == 0) {
            ++burst_items;
        }
    }
    FILE *count = fopen("applied.count", "w");
    fprintf(count, "%ld", burst_items);
    fclose(count);
    return 0;
}
