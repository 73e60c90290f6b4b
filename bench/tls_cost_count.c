/* Counts the guest instructions that qemu-i386 executed, from its log on
 * stdin. With "-d in_asm,exec,nochain" each translated block is listed once
 * and every execution of a block logs a "Trace" line with the block's guest
 * address. A block runs whole or not at all in user mode (a fault ends the
 * program here), so an execution counts the block's instructions. Logging
 * blocks instead of single instructions (-one-insn-per-tb) gives the same
 * count in a fraction of the lines, which is what makes the ECDSA chains
 * countable within minutes.
 *
 * The listing's bytes give the block's extent, but not its instructions:
 * QEMU 7.2 sometimes disassembles the middle of a long block as single
 * bytes. So the instructions are those that objdump found starting in that
 * extent, from STARTS (one hex address per line, for a static program).
 *   tls_cost_count STARTS < log
 *   tls_cost_count --one-per-line < log      (a log of one instruction per block)
 * Prints the total, then instructions per function, most first. */
#define _GNU_SOURCE
#include <ctype.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define BLOCK_SLOTS (1u << 20)
#define NAME_SLOTS (1u << 14)

struct block {
    uint32_t pc;
    uint32_t length;
    uint32_t name;
    int used;
};

struct name {
    char text[96];
    uint64_t count;
    int used;
};

static struct block blocks[BLOCK_SLOTS];
static struct name names[NAME_SLOTS];
static uint32_t *starts;
static size_t startCount;

static uint32_t hash32(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    return x ^ (x >> 16);
}

static struct block *block_at(uint32_t pc)
{
    uint32_t i = hash32(pc) & (BLOCK_SLOTS - 1);
    while (blocks[i].used && blocks[i].pc != pc)
        i = (i + 1) & (BLOCK_SLOTS - 1);
    return &blocks[i];
}

static uint32_t name_index(const char *text)
{
    uint32_t h = 2166136261u;
    for (const char *p = text; *p; ++p)
        h = (h ^ (unsigned char)*p) * 16777619u;
    uint32_t i = h & (NAME_SLOTS - 1);
    while (names[i].used && strncmp(names[i].text, text, sizeof names[i].text - 1) != 0)
        i = (i + 1) & (NAME_SLOTS - 1);
    if (!names[i].used) {
        names[i].used = 1;
        snprintf(names[i].text, sizeof names[i].text, "%s", text);
    }
    return i;
}

static void load_starts(const char *path)
{
    FILE *file = fopen(path, "r");
    if (!file) {
        perror(path);
        exit(2);
    }
    size_t capacity = 1 << 16;
    starts = malloc(capacity * sizeof *starts);
    char line[64];
    while (fgets(line, sizeof line, file)) {
        if (startCount == capacity)
            starts = realloc(starts, (capacity *= 2) * sizeof *starts);
        starts[startCount++] = (uint32_t)strtoul(line, NULL, 16);
    }
    fclose(file);
}

/* How many instructions start in [from, to): the starts are sorted. */
static uint32_t instructions_between(uint32_t from, uint32_t to)
{
    size_t lo = 0, hi = startCount;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (starts[mid] < from)
            lo = mid + 1;
        else
            hi = mid;
    }
    size_t end = lo;
    while (end < startCount && starts[end] < to)
        ++end;
    return (uint32_t)(end - lo);
}

/* The address just past a listing line's bytes: "0x0805caca:  8b bd d8 fe ff
 * ff        movl ...", or a long instruction's rest, "0x080719f9:  00 00 00". */
static uint32_t end_of_bytes(const char *line)
{
    const uint32_t at = (uint32_t)strtoul(line, NULL, 16);
    const char *p = strchr(line, ':');
    uint32_t bytes = 0;
    for (++p;; p += 2, ++bytes) {
        while (*p == ' ')
            ++p;
        if (!isxdigit((unsigned char)p[0]) || !isxdigit((unsigned char)p[1]) ||
            (p[2] != ' ' && p[2] != 0))
            break;
    }
    return at + bytes;
}

/* QEMU writes its log a line at a time; a reader that wakes for every line
 * costs more than the emulation. So the pipe is made large and is read only
 * when well filled. */
static char *next_line(void)
{
    static char buffer[1 << 22];
    static size_t start, end;
    static int ended;
    for (;;) {
        char *newline = memchr(buffer + start, '\n', end - start);
        if (newline) {
            char *line = buffer + start;
            *newline = 0;
            start = (size_t)(newline + 1 - buffer);
            return line;
        }
        if (ended)
            return NULL;
        memmove(buffer, buffer + start, end - start);
        end -= start;
        start = 0;
        if (end == sizeof buffer - 1)
            end = 0; /* a line longer than the buffer: dropped */
        const ssize_t got = read(0, buffer + end, sizeof buffer - 1 - end);
        if (got <= 0) {
            ended = 1;
            buffer[end] = '\n';
            if (end)
                ++end;
            continue;
        }
        end += (size_t)got;
        if (got < (1 << 19))
            usleep(1000);
    }
}

static int by_count(const void *a, const void *b)
{
    const struct name *x = a, *y = b;
    return x->count < y->count ? 1 : x->count > y->count ? -1 : 0;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: tls_cost_count STARTS|--one-per-line < log\n");
        return 2;
    }
    const int onePerLine = strcmp(argv[1], "--one-per-line") == 0;
    if (!onePerLine)
        load_starts(argv[1]);
    if (fcntl(0, F_SETPIPE_SZ, 1 << 24) < 0)
        fcntl(0, F_SETPIPE_SZ, 1 << 20); /* the most without CAP_SYS_RESOURCE */
    uint64_t total = 0, unknown = 0, relisted = 0;
    uint32_t listingPc = 0, listingEnd = 0, listingName = 0; /* the block being listed */
    int inListing = 0;
    char *line;

    while ((line = next_line()) != NULL) {
        if (strncmp(line, "Trace ", 6) == 0) {
            const char *slash = strchr(line, '/');
            if (!slash)
                continue;
            const uint32_t pc = (uint32_t)strtoul(slash + 1, NULL, 16);
            if (onePerLine) {
                const char *close = strchr(slash, ']');
                names[name_index(close && close[1] ? close + 2 : "?")].count += 1;
                ++total;
                continue;
            }
            struct block *b = block_at(pc);
            if (!b->used) {
                ++unknown;
                continue;
            }
            total += b->length;
            names[b->name].count += b->length;
        } else if (strncmp(line, "IN:", 3) == 0) {
            listingName = name_index(line[3] == ' ' && line[4] ? line + 4 : "?");
            listingPc = listingEnd = 0;
            inListing = 1;
        } else if (inListing && strncmp(line, "0x", 2) == 0) {
            if (!listingEnd)
                listingPc = (uint32_t)strtoul(line, NULL, 16);
            const uint32_t end = end_of_bytes(line);
            if (end > listingEnd)
                listingEnd = end;
        } else if (inListing && (line[0] == 0 || line[0] == '-')) {
            if (listingEnd) {
                struct block *b = block_at(listingPc);
                const uint32_t length = instructions_between(listingPc, listingEnd);
                if (b->used && b->length != length)
                    ++relisted;
                b->used = 1;
                b->pc = listingPc;
                b->length = length;
                b->name = listingName;
            }
            inListing = 0;
        }
    }
    printf("total %llu\n", (unsigned long long)total);
    if (unknown || relisted)
        printf("warning %llu executions of unlisted blocks, %llu blocks listed again with "
               "another length\n", (unsigned long long)unknown, (unsigned long long)relisted);
    qsort(names, NAME_SLOTS, sizeof names[0], by_count);
    for (uint32_t i = 0; i < NAME_SLOTS && names[i].count; ++i)
        printf("%llu %s\n", (unsigned long long)names[i].count, names[i].text);
    return 0;
}
