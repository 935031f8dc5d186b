// Arbitrary bytes as a cue sheet: reading them never runs past them, and
// whatever they hold, a track described after them is read exactly, so that
// no line (an open quote, a stray CR, a BOM, a broken time) spills into the
// next.
#include "CueSheet.h"
#include "check.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ReadCueSheet(data, size);
    std::string sheet((const char *)data, size);
    sheet += "\nFILE \"Game (Track 2).bin\" BINARY\n  TRACK 02 mode2/2352\n    INDEX 01 01:02:03\n";
    const std::vector<CueTrack> tracks = ReadCueSheet((const uint8_t *)sheet.data(), sheet.size());
    CHECK(!tracks.empty());
    const CueTrack &last = tracks.back();
    CHECK(last.number == "02" && last.mode == "MODE2/2352" && last.file == "Game (Track 2).bin");
    CHECK(last.start == (1 * 60 + 2) * 75 + 3 && DataSectorSize(last.mode) == 2352);

    // Sniffing reads no further than it is given either.
    IsCueSheet("sheet", data, size);
    CHECK(IsCueSheet("disc.Cue", data, size));
    return 0;
}
