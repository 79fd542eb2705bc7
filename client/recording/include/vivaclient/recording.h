// recording.h - radiometric recordings as multi-page 16-bit TIFF files.
//
// A recording holds one page per plane and frame, in frame order: the image
// plane (16-bit unsigned, as the camera sends it) and, on a stream with
// temperatures, right after it the temperature plane (16-bit signed, tenths
// of a degree). Every page is uncompressed, one strip, minimum-is-black, so
// any TIFF reader shows it. Each page's ImageDescription is a JSON object
// with the frame's "frame" (index in the file), "sequence" (index in the
// camera's stream as received, with gaps where frames were skipped), "time"
// (seconds since the first frame received) and "plane" ("image" or
// "temperature"); the first page's object also describes the recording
// (format, camera, size, layout, frame rate, settings; see record_command).
// Each page also says what its values mean, in its JSON ("unit", and on a
// temperature page "scale", "offset", "unit_number", "unit_name") and in
// GDAL's metadata tag (gdal_metadata.h): a temperature page's band has
// scale 0.1, offset 0 and the declared unit ("degC"), an image page's the
// unit "counts". Files written before these fields existed read the same.
//
// The writer keeps the file readable at every moment a frame ends: when a
// write fails (a full disk, a file size limit) the pages of the frame being
// written are cut off and the file ends with the last complete frame.
//
// Neither class is thread-safe; each object is used by one thread.
#pragma once

#include <vivaclient/temperature_unit.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// libtiff's file handle (TIFF in tiffio.h).
struct tiff;

namespace vivaclient {

// The "format" of a recording's first description.
constexpr const char* kRecordingFormat = "vivazuzoz recording";

// The raw JSON text of field `key` of a JSON object, at its top level; a
// dotted key ("settings.palette") descends into nested objects. Nothing when
// the text is no object or has no such field.
std::optional<std::string> JsonField(const std::string& object, const std::string& key);
// The field as a number or as a string (escapes resolved); nothing when it is
// missing or of another type.
std::optional<double> JsonNumber(const std::string& object, const std::string& key);
std::optional<std::string> JsonText(const std::string& object, const std::string& key);
// The names of the fields of a JSON object at its top level, in order.
std::vector<std::string> JsonKeys(const std::string& object);

// What a page's description says of its frame besides the planes.
struct PageMarks {
    bool afterGap = false;  // the first frame after the camera was lost and came back ("gap": true)
    bool shutter = false;   // taken during a shutter correction ("shutter": true)
    bool settling = false;  // taken just after one ("settling": true)
    // When the last shutter correction before the frame ended, in seconds on
    // the recording's time line (negative: before its first frame);
    // "last_correction", absent when there was none.
    std::optional<double> lastCorrection;
};

struct RecordingLayout {
    int width = 0;
    int height = 0;
    bool withTemp = false;  // an image and a temperature page per frame
    // The temperature pages' unit, as the camera numbers it and the user
    // declared it; written, not read back (the reader leaves it unknown).
    TemperatureUnit unit = DeclaredUnit(-1, "");
};

class RecordingWriter {
public:
    RecordingWriter();
    ~RecordingWriter();  // closes the file as Close() does
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Creates (or replaces) `path`. `bigTiff` chooses 64-bit offsets, for
    // recordings that may pass 4 GB. Returns "" or a message.
    std::string Create(const std::string& path, const RecordingLayout& layout, bool bigTiff);

    // Appends one frame. `temp` is ignored on an image-only layout and must
    // be given otherwise. `description` is the recording's description (a
    // JSON object without the per-frame fields), written with the first
    // frame only. `marks` go into both pages' descriptions. Returns
    // "" or a message; after a failure the file holds
    // the frames appended before it and every later call fails.
    std::string Append(const uint16_t* image, const int16_t* temp, uint64_t sequence, double time,
                       const std::string& description, const PageMarks& marks = PageMarks());

    // Finishes the file. Returns "" or a message. Safe to call again.
    std::string Close();

    uint64_t frames() const { return frames_; }
    uint64_t bytes() const { return goodSize_; }  // file size after the last complete frame

private:
    std::string WritePage(const void* data, bool temperature, uint64_t sequence, double time,
                          const std::string& description, const PageMarks& marks);
    std::string Fail(const std::string& what);
    void DescribePlanes();

    struct File;
    std::unique_ptr<File> file_;
    RecordingLayout layout_;
    std::string path_;
    std::string imageMeaning_;  // JSON fields and GDAL tag of the image pages
    std::string imageGdal_;
    std::string temperatureMeaning_;  // and of the temperature pages
    std::string temperatureGdal_;
    uint64_t frames_ = 0;
    uint64_t goodSize_ = 0;
    std::string failure_;  // set once a write failed
};

// One frame read back.
struct RecordedFrame {
    uint64_t sequence = 0;
    double time = 0;
    std::vector<uint16_t> image;
    std::vector<int16_t> temp;  // empty on an image-only recording
    bool afterGap = false;      // the first frame recorded after the camera came back
    PageMarks marks;            // all of its marks (afterGap among them)
};

class RecordingReader {
public:
    RecordingReader();
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    // Opens `path` and checks every page: a recording description on the
    // first, one size and sample layout throughout, every strip inside the
    // file. Returns "" or a message that names the file and what is wrong.
    std::string Open(const std::string& path);

    // The layout; its unit is the one the temperature pages declare (files
    // written before pages declared it: the unit the recorded temp-unit
    // setting has under today's declarations).
    const RecordingLayout& layout() const { return layout_; }
    const std::string& description() const { return description_; }
    size_t frames() const { return times_.size(); }
    double time(size_t frame) const { return times_[frame]; }
    uint64_t sequence(size_t frame) const { return sequences_[frame]; }
    // Frames per second over the recording (frames - 1 over the time from
    // the first to the last), else the description's frame rate, else 0.
    double rate() const;

    // Reads frame `index` (< frames()). Reading the frames in order is cheap;
    // going back costs a walk from the file's start. Returns "" or a message.
    std::string Read(size_t index, RecordedFrame& frame);

private:
    std::string ReadLayout(::tiff* tif);
    std::string ReadPage(::tiff* tif, uint64_t page, uint64_t fileSize);
    struct File;
    std::unique_ptr<File> file_;
    std::string path_;
    RecordingLayout layout_;
    std::string description_;
    std::vector<double> times_;
    std::vector<uint64_t> sequences_;
    std::vector<PageMarks> marks_;
};

}  // namespace vivaclient
