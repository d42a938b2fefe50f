/*
 * bench_fread.cpp: the floor for the read path. Reads a whole file into
 * memory with one fread loop and prints its size; the library's open reads
 * every sector in the same way, so nothing that reads the file can be
 * faster or smaller than this.
 *
 *     bench_fread FILE
 */
#include <cstdio>
#include <memory>
#include <sys/stat.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s FILE\n", argv[0]);
        return 1;
    }
    std::FILE *f = std::fopen(argv[1], "rb");
    struct stat st {};
    if (!f || fstat(fileno(f), &st) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    const size_t size = size_t(st.st_size);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size + 1]);
    size_t total = 0;
    unsigned checksum = 0;
    for (;;) {
        const size_t n = std::fread(buffer.get() + total, 1, size + 1 - total, f);
        if (n == 0) break;
        total += n;
        if (total > size) break;
    }
    std::fclose(f);
    /* look at every sector, so the pages are really there */
    for (size_t i = 0; i < total; i += 4096) checksum += buffer[i];
    std::printf("bytes=%zu check=%u\n", total, checksum);
    return total == size ? 0 : 1;
}
