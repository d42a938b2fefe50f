/*
 * container_files.h: writes the containers of an export as files into its
 * files folder, one file per reference (a container that several records
 * reference is written once and copied). The folder is made only when the
 * first file is written: an export without containers leaves none.
 */
#ifndef QUARN_EXPORT_CONTAINER_FILES_H
#define QUARN_EXPORT_CONTAINER_FILES_H

#include "output.h"
#include "source.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace qexport {

class ContainerFiles : public ContainerFileSink {
  public:
    /* root() gives the folder to write into (made on first use), or fails
     * with *failure set; shown is how the files folder is named in messages. */
    ContainerFiles(std::function<bool(std::string *root, Failure *failure)> root, std::string shown)
        : root_(std::move(root)), shown_(std::move(shown)) {}
    ~ContainerFiles() override;

    bool begin(const std::vector<std::string> &paths, Failure *failure) override;
    bool piece(std::span<const uint8_t> bytes, Failure *failure) override;
    bool end(Failure *failure) override;

  private:
    bool fail(const std::string &path, int error, Failure *failure);

    std::function<bool(std::string *, Failure *)> root_;
    std::string shown_, folder_;
    std::vector<std::string> paths_;
    FILE *file_ = nullptr;
};

} // namespace qexport

#endif
