/*
 * output.cpp: temporary names beside the output, rename on success,
 * nothing left after a failure (output.h).
 */
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qexport {

namespace {

std::string base_name(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string words(int error) { return strerror(error); }

/* The mode a new file gets from the umask. */
mode_t umasked(mode_t mode) {
    const mode_t mask = umask(0);
    umask(mask);
    return mode & ~mask;
}

/* rename that refuses to replace an existing target unless replace. */
int move(const std::string &from, const std::string &to, bool replace) {
    if (replace) return rename(from.c_str(), to.c_str());
    return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
}

std::vector<std::string> entries(const std::string &folder) {
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (!dir) return names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

bool is_folder(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string parent_folder(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        for (const std::string &name : entries(path)) remove_tree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

bool StagedOutput::prepare(const std::string &path, Kind kind, bool force, std::string *error) {
    discard();
    path_ = path;
    kind_ = kind;
    force_ = force;
    into_existing_ = false;
    struct stat st;
    const bool exists = stat(path.c_str(), &st) == 0;
    if (kind == Kind::file) {
        if (exists && S_ISDIR(st.st_mode)) {
            *error = path + " is a folder";
            return false;
        }
        if (exists && !force) {
            *error = path + " already exists (--force replaces it)";
            return false;
        }
        std::string temp = parent_folder(path) + "/." + base_name(path) + ".quarn-XXXXXX";
        const int fd = mkstemp(temp.data());
        if (fd < 0) {
            *error = "cannot write " + path + ": " + words(errno);
            return false;
        }
        const mode_t mode = exists && S_ISREG(st.st_mode) ? (st.st_mode & 0777) : umasked(0666);
        fchmod(fd, mode);
        close(fd);
        work_ = temp;
        return true;
    }
    if (exists && !S_ISDIR(st.st_mode) && !force) {
        *error = path + " already exists and is not a folder (--force replaces it)";
        return false;
    }
    into_existing_ = exists && S_ISDIR(st.st_mode);
    std::string temp = into_existing_ ? path + "/.quarn-XXXXXX"
                                      : parent_folder(path) + "/." + base_name(path) + ".quarn-XXXXXX";
    if (!mkdtemp(temp.data())) {
        *error = "cannot write " + path + ": " + words(errno);
        return false;
    }
    chmod(temp.c_str(), umasked(0777));
    work_ = temp;
    return true;
}

bool StagedOutput::check(std::string *error) const {
    if (work_.empty() || force_) return true;
    if (kind_ == Kind::file || !into_existing_) {
        struct stat st;
        if (lstat(path_.c_str(), &st) == 0) {
            *error = path_ + " already exists (--force replaces it)";
            return false;
        }
        return true;
    }
    for (const std::string &name : entries(work_)) {
        struct stat st;
        const std::string target = path_ + "/" + name;
        if (lstat(target.c_str(), &st) == 0) {
            *error = target + " already exists (--force replaces it)";
            return false;
        }
    }
    return true;
}

bool StagedOutput::commit(std::string *error) {
    if (work_.empty()) return true;
    if (kind_ == Kind::file || !into_existing_) {
        if (kind_ == Kind::folder && force_) {
            /* a file where the folder goes is replaced */
            struct stat st;
            if (lstat(path_.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) unlink(path_.c_str());
        }
        if (move(work_, path_, force_) != 0) {
            *error = "cannot write " + path_ + ": " + words(errno);
            return false;
        }
        work_.clear();
        return true;
    }
    for (const std::string &name : entries(work_)) {
        const std::string from = work_ + "/" + name, to = path_ + "/" + name;
        if (force_ && is_folder(to)) {
            /* a folder is not renamed over a folder with contents: the old
             * one is moved aside first, then removed */
            const std::string aside = work_ + "/.replaced-" + name;
            if (rename(to.c_str(), aside.c_str()) != 0) {
                *error = "cannot replace " + to + ": " + words(errno);
                return false;
            }
        }
        if (move(from, to, force_) != 0) {
            *error = "cannot write " + to + ": " + words(errno);
            return false;
        }
    }
    discard();
    return true;
}

void StagedOutput::discard() {
    if (!work_.empty()) remove_tree(work_);
    work_.clear();
}

} // namespace qexport
