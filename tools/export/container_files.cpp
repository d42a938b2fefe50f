/*
 * container_files.cpp: container files in the files folder
 * (container_files.h).
 */
#include "container_files.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace qexport {

namespace {

/* Makes every folder of path's folder part below root. */
int make_folders(const std::string &root, const std::string &relative) {
    size_t slash = 0;
    while ((slash = relative.find('/', slash)) != std::string::npos) {
        const std::string folder = root + "/" + relative.substr(0, slash);
        if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return errno;
        slash++;
    }
    return 0;
}

} // namespace

ContainerFiles::~ContainerFiles() {
    if (file_) fclose(file_);
}

bool ContainerFiles::fail(const std::string &path, int error, Failure *failure) {
    failure->message = "cannot write " + shown_ + "/" + path + ": " + strerror(error ? error : EIO);
    if (file_) fclose(file_);
    file_ = nullptr;
    return false;
}

bool ContainerFiles::begin(const std::vector<std::string> &paths, Failure *failure) {
    if (folder_.empty() && !root_(&folder_, failure)) return false;
    paths_ = paths;
    if (paths_.empty()) return true;
    if (const int error = make_folders(folder_, paths_.front())) return fail(paths_.front(), error, failure);
    errno = 0;
    file_ = fopen((folder_ + "/" + paths_.front()).c_str(), "wb");
    if (!file_) return fail(paths_.front(), errno, failure);
    return true;
}

bool ContainerFiles::piece(std::span<const uint8_t> bytes, Failure *failure) {
    if (!file_) return true;
    errno = 0;
    if (fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) return fail(paths_.front(), errno, failure);
    return true;
}

bool ContainerFiles::end(Failure *failure) {
    if (!file_) return true;
    errno = 0;
    const bool flushed = fflush(file_) == 0 && !ferror(file_);
    const int error = errno;
    FILE *file = file_;
    file_ = nullptr;
    if (fclose(file) != 0 || !flushed) return fail(paths_.front(), flushed ? errno : error, failure);
    /* the other references get copies of the first file */
    for (size_t i = 1; i < paths_.size(); i++) {
        if (const int e = make_folders(folder_, paths_[i])) return fail(paths_[i], e, failure);
        FILE *in = fopen((folder_ + "/" + paths_.front()).c_str(), "rb");
        if (!in) return fail(paths_.front(), errno, failure);
        FILE *out = fopen((folder_ + "/" + paths_[i]).c_str(), "wb");
        if (!out) {
            const int e = errno;
            fclose(in);
            return fail(paths_[i], e, failure);
        }
        char buffer[65536];
        size_t n;
        bool ok = true;
        errno = 0;
        while (ok && (n = fread(buffer, 1, sizeof buffer, in)) > 0) ok = fwrite(buffer, 1, n, out) == n;
        ok = ok && !ferror(in) && fflush(out) == 0;
        const int e = errno;
        fclose(in);
        if (fclose(out) != 0) ok = false;
        if (!ok) return fail(paths_[i], e, failure);
    }
    return true;
}

} // namespace qexport
