// A change to an image, committed whole: the file replaced safely under the
// lock held since it was read, or the change written as a PPF patch while
// the file stays as it is. The change is held once, apart from the file and
// from its view, in the file's own coordinates, and the output is streamed:
// the unchanged bytes come from the file as they are written.
#ifndef EXSPACK_CHANGESET_H
#define EXSPACK_CHANGESET_H

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ImageView.h"
#include "Platform.h"

class ChangeSet {
public:
    // Opens the image at path to change it, its record map made: for a
    // patch without the lock, else locked from before it is read until
    // Commit. With listed, a view read before from the same path (the web
    // page puts back into the image it has just listed), which is taken as
    // it is while its file still has the size it had. Errors: those of
    // ImageView::Open, "Error: Not a CD image exspack can write: PATH" for a
    // CUT_RAW_IMAGE, and without patch "Error: Can't write into a CHD: give
    // a third path for a PPF patch" for a CHD, before it is read.
    static Error Open(const char *path, bool patch, const std::shared_ptr<const ImageView> &listed,
                      std::unique_ptr<ChangeSet> *changes);

    // The image as it was read; it never shows the change.
    const ImageView &view() const { return *view_; }
    // Whether path names the image's file itself (not a copy of it).
    bool IsFile(const char *path) const { return file_.IsAt(path); }

    // Writes bytes[0 .. n - 1] at position of the view's data, and in a raw
    // image into the sectors that hold it, each sector whose data changed
    // with new codes. Returns false, keeping nothing of this call, when some
    // of the bytes fall outside the data sectors or the file cannot be read.
    bool Put(uint64_t position, const uint8_t *bytes, uint64_t n);
    // The view's data [position, position + n) as the changes so far make
    // it, read back from the sectors as unpacking would read them; false
    // when the file cannot be read.
    bool Read(uint64_t position, uint8_t *to, uint64_t n) const;

    // The change every Put has made, in the file's coordinates: the bytes
    // that take the file's place from each offset on, in order of offset,
    // no two overlapping; in a raw image whole sectors, codes and all.
    typedef std::map<uint64_t, std::vector<uint8_t>> Changes;
    const Changes &changes() const { return changes_; }

    // Commits every Put: with patch, writes the change as a PPF patch to
    // that path (also when nothing changed, a patch of no entries) with the
    // description given; without, replaces the file, unless nothing was put.
    // Either way as safely as every output (OutputFile), streamed.
    Error Commit(const char *patch, const std::string &description);

private:
    ChangeSet() = default;
    void Keep(uint64_t offset, const uint8_t *bytes, uint64_t n);
    Error ReadChanged(uint64_t offset, uint8_t *to, uint64_t n) const;
    Error WritePatch(OutputFile *output, const std::string &description) const;

    std::shared_ptr<const ImageView> view_;
    ImageSource file_;
    Changes changes_;
};

#endif
