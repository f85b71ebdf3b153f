// Gatan DigitalMicrograph files, versions 3 and 4. Both hold one tree of
// tags after a short header: a group tag holds further tags, a data tag
// holds an encoded value (a number, a string, a struct or an array). The
// header and every length and type word of the tree are big-endian; the
// values themselves are stored in the byte order the header names. Version 4
// widens the header's length, the group counts and the type words to 64 bits
// and gives every tag its byte size.
//
// The image is an entry of the root's "ImageList" (the first entry is
// usually a small thumbnail): its "ImageData" group holds the pixel array
// "Data", the pixel type "DataType", the sizes "Dimensions" and the
// calibration "Calibrations/Dimension"; its "ImageTags" group holds the
// microscope settings.
#include <cmath>
#include <string>
#include <vector>

#include "expimage/image.hpp"
#include "expimage/image_io.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {

constexpr int kMaxTagDepth = 64;

enum class DmKind { group, data };

struct DmTag {
  std::string name;
  DmKind kind = DmKind::group;
  std::vector<DmTag> children;     // group
  std::vector<std::uint64_t> info;  // data: the encoding words
  std::size_t offset = 0, bytes = 0;  // data: where its value lies
};

// Encoding words of simple values.
enum : std::uint64_t {
  kShort = 2, kLong = 3, kUShort = 4, kULong = 5, kFloat = 6, kDouble = 7, kBool = 8, kChar = 9,
  kOctet = 10, kLongLong = 11, kULongLong = 12, kStruct = 15, kString = 18, kArray = 20
};

std::size_t simple_bytes(std::uint64_t t) {
  switch (t) {
    case kShort:
    case kUShort: return 2;
    case kLong:
    case kULong:
    case kFloat: return 4;
    case kDouble:
    case kLongLong:
    case kULongLong: return 8;
    case kBool:
    case kChar:
    case kOctet: return 1;
    default: return 0;
  }
}

class DmParser {
 public:
  DmParser(const ByteFile& f, int version) : f_(f), wide_(version == 4) {}

  DmTag root(std::size_t offset) {
    DmTag t;
    t.name = "(root)";
    pos_ = offset;
    read_group(t, 0);
    return t;
  }

 private:
  const ByteFile& f_;
  bool wide_;
  std::size_t pos_ = 0;

  std::uint64_t word(const char* what) {
    const int w = wide_ ? 8 : 4;
    const std::uint64_t v = f_.uint(pos_, w, false, what);
    pos_ += static_cast<std::size_t>(w);
    return v;
  }
  std::uint64_t fixed(int width, const char* what) {
    const std::uint64_t v = f_.uint(pos_, width, false, what);
    pos_ += static_cast<std::size_t>(width);
    return v;
  }
  [[noreturn]] void fault(const DmTag& t, const std::string& what) const {
    image_fault(f_.path(), strprintf("tag \"%s\" at byte %zu: %s", t.name.c_str(), pos_, what.c_str()));
  }

  void read_group(DmTag& g, int depth) {
    if (depth > kMaxTagDepth) fault(g, strprintf("tag groups nested deeper than %d", kMaxTagDepth));
    fixed(2, "a tag group's header");  // sorted and open flags
    const std::uint64_t count = word("a tag group's count");
    // Every tag takes at least 3 bytes: no count beyond the bytes left is honest.
    if (count > (f_.size() - pos_) / 3) fault(g, strprintf("declares %llu tags, more than the file can hold",
                                                             (unsigned long long)count));
    g.children.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) g.children.push_back(read_tag(depth));
  }

  DmTag read_tag(int depth) {
    DmTag t;
    const std::uint64_t type = fixed(1, "a tag's type byte");
    const std::uint64_t label = fixed(2, "a tag's label length");
    f_.need(pos_, static_cast<std::size_t>(label), "a tag's label");
    t.name.assign(reinterpret_cast<const char*>(f_.data() + pos_), static_cast<std::size_t>(label));
    pos_ += static_cast<std::size_t>(label);
    if (wide_) {
      const std::uint64_t size = word("a tag's byte size");
      if (size > f_.size() - pos_) fault(t, strprintf("declares %llu bytes, more than the file holds after it",
                                                      (unsigned long long)size));
    }
    if (type == 20) {
      t.kind = DmKind::group;
      read_group(t, depth + 1);
    } else if (type == 21) {
      t.kind = DmKind::data;
      read_data(t);
    } else {
      fault(t, strprintf("unknown tag type %llu (20 for a group, 21 for data)", (unsigned long long)type));
    }
    return t;
  }

  void read_data(DmTag& t) {
    f_.need(pos_, 4, "a data tag's %%%% mark");
    if (std::string(reinterpret_cast<const char*>(f_.data() + pos_), 4) != "%%%%")
      fault(t, "the data tag does not begin with %%%%");
    pos_ += 4;
    const std::uint64_t n = word("a data tag's encoding length");
    if (n == 0 || n > 4096) fault(t, strprintf("an encoding of %llu words", (unsigned long long)n));
    t.info.resize(static_cast<std::size_t>(n));
    for (auto& w : t.info) w = word("a data tag's encoding");
    const std::uint64_t bytes = value_bytes(t);
    if (bytes > f_.size() - pos_)
      fault(t, strprintf("its value of %llu bytes runs past the end of the file (%zu bytes)",
                         (unsigned long long)bytes, f_.size()));
    t.offset = pos_;
    t.bytes = static_cast<std::size_t>(bytes);
    pos_ += t.bytes;
  }

  // Byte size of a struct whose field types are the encoding words from
  // `first` on, every second one (name length, type pairs).
  std::uint64_t struct_bytes(const DmTag& t, std::size_t first, std::uint64_t fields) {
    if (fields > 1024 || (fields > 0 && first + 2 * (fields - 1) >= t.info.size()))
      fault(t, strprintf("a struct of %llu fields does not fit its encoding", (unsigned long long)fields));
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < fields; ++i) {
      const std::size_t s = simple_bytes(t.info[first + 2 * i]);
      if (s == 0) fault(t, strprintf("a struct field of unknown type %llu", (unsigned long long)t.info[first + 2 * i]));
      sum += s;
    }
    return sum;
  }

  std::uint64_t value_bytes(const DmTag& t) {
    const auto& in = t.info;
    const std::uint64_t room = f_.size();
    if (in[0] == kString) {
      if (in.size() != 2) fault(t, "a string encoding that is not 2 words");
      if (in[1] > room / 2) fault(t, "a string longer than the file");
      return in[1] * 2;
    }
    if (in[0] == kStruct) {
      if (in.size() < 3) fault(t, "a struct encoding shorter than 3 words");
      const std::uint64_t fields = in[2];
      if (in.size() != 3 + 2 * fields) fault(t, "a struct encoding whose length does not match its fields");
      return struct_bytes(t, 4, fields);
    }
    if (in[0] == kArray) {
      if (in.size() < 3) fault(t, "an array encoding shorter than 3 words");
      std::uint64_t elem;
      if (in[1] == kStruct) {
        if (in.size() < 5) fault(t, "an array of structs with a short encoding");
        const std::uint64_t fields = in[3];
        if (fields > 1024 || in.size() != 5 + 2 * fields)
          fault(t, "an array-of-structs encoding whose length does not match its fields");
        elem = struct_bytes(t, 5, fields);
      } else {
        if (in.size() != 3) fault(t, "an array encoding that is not 3 words");
        elem = simple_bytes(in[1]);
        if (elem == 0) fault(t, strprintf("an array of unknown element type %llu", (unsigned long long)in[1]));
      }
      const std::uint64_t count = in.back();
      if (elem != 0 && count > room / elem)
        fault(t, strprintf("an array of %llu elements, more than the file holds", (unsigned long long)count));
      return count * elem;
    }
    if (in.size() != 1) fault(t, strprintf("a value of type %llu with %zu encoding words", (unsigned long long)in[0], in.size()));
    const std::size_t s = simple_bytes(in[0]);
    if (s == 0) fault(t, strprintf("unknown value type %llu", (unsigned long long)in[0]));
    return s;
  }
};

const DmTag* child(const DmTag* g, const std::string& name) {
  if (!g || g->kind != DmKind::group) return nullptr;
  for (const auto& c : g->children)
    if (c.name == name) return &c;
  return nullptr;
}

const DmTag* path_of(const DmTag* g, std::initializer_list<const char*> names) {
  for (const char* n : names) g = child(g, n);
  return g;
}

struct DmValues {
  const ByteFile& f;
  bool little;

  // The number a simple data tag holds, or none.
  std::optional<double> number(const DmTag* t) const {
    if (!t || t->kind != DmKind::data || t->info.size() != 1) return std::nullopt;
    const std::size_t o = t->offset;
    switch (t->info[0]) {
      case kShort: return double(std::int16_t(f.uint(o, 2, little, "a number")));
      case kUShort: return double(f.uint(o, 2, little, "a number"));
      case kLong: return double(std::int32_t(f.uint(o, 4, little, "a number")));
      case kULong: return double(f.uint(o, 4, little, "a number"));
      case kLongLong: return double(std::int64_t(f.uint(o, 8, little, "a number")));
      case kULongLong: return double(f.uint(o, 8, little, "a number"));
      case kFloat: return f.real(o, 4, little, "a number");
      case kDouble: return f.real(o, 8, little, "a number");
      case kBool:
      case kChar:
      case kOctet: return double(f.uint(o, 1, little, "a number"));
      default: return std::nullopt;
    }
  }

  // The text of a string tag or an array of 16-bit characters (non-ASCII
  // characters become '?').
  std::string text(const DmTag* t) const {
    if (!t || t->kind != DmKind::data) return {};
    std::size_t count = 0;
    if (t->info[0] == kString)
      count = static_cast<std::size_t>(t->info[1]);
    else if (t->info[0] == kArray && t->info.size() == 3 && (t->info[1] == kUShort || t->info[1] == kShort))
      count = static_cast<std::size_t>(t->info[2]);
    else
      return {};
    std::string s;
    for (std::size_t i = 0; i < count && i < 256; ++i) {
      const std::uint64_t c = f.uint(t->offset + 2 * i, 2, little, "a string");
      if (c == 0) break;
      s.push_back(c >= 32 && c < 127 ? static_cast<char>(c) : '?');
    }
    return s;
  }
};

// The pixel type of a DataType number.
std::optional<SampleType> dm_sample_type(int data_type) {
  switch (data_type) {
    case 1: return SampleType::i16;
    case 2: return SampleType::f32;
    case 6: return SampleType::u8;
    case 7: return SampleType::i32;
    case 9: return SampleType::i8;
    case 10: return SampleType::u16;
    case 11: return SampleType::u32;
    case 12: return SampleType::f64;
    case 14: return SampleType::u8;  // binary
    default: return std::nullopt;
  }
}

// Of the ImageList entries, the one whose pixel array is largest, leaving
// out RGB pictures (DataType 23): the main image rather than the thumbnail
// the first entry usually holds.
const DmTag* main_image(const DmTag& root, const DmValues& v) {
  const DmTag* list = child(&root, "ImageList");
  const DmTag* best = nullptr;
  std::size_t best_bytes = 0;
  if (!list) return nullptr;
  for (const auto& entry : list->children) {
    const DmTag* data = path_of(&entry, {"ImageData", "Data"});
    if (!data || data->kind != DmKind::data) continue;
    if (v.number(path_of(&entry, {"ImageData", "DataType"})).value_or(0.0) == 23.0) continue;
    if (!best || data->bytes >= best_bytes) {
      best = &entry;
      best_bytes = data->bytes;
    }
  }
  return best;
}

void read_calibration(const DmValues& v, const DmTag* image, DetectorImage& img) {
  const DmTag* dims = path_of(image, {"ImageData", "Calibrations", "Dimension"});
  if (!dims || dims->children.size() < 2) return;
  const DmTag& cx = dims->children[0];
  const DmTag& cy = dims->children[1];
  const auto sx = v.number(child(&cx, "Scale")), sy = v.number(child(&cy, "Scale"));
  if (!sx || !sy || !std::isfinite(*sx) || !std::isfinite(*sy)) return;
  img.calibration.present = true;
  img.calibration.scale_x = *sx;
  img.calibration.scale_y = *sy;
  img.calibration.origin_x = v.number(child(&cx, "Origin")).value_or(0.0);
  img.calibration.origin_y = v.number(child(&cy, "Origin")).value_or(0.0);
  img.calibration.unit_x = v.text(child(&cx, "Units"));
  img.calibration.unit_y = v.text(child(&cy, "Units"));
}

std::optional<double> finite(std::optional<double> x) {
  if (x && !std::isfinite(*x)) return std::nullopt;
  return x;
}

void read_metadata(const DmValues& v, const DmTag* image, DetectorImage& img) {
  const DmTag* tags = child(image, "ImageTags");
  if (const auto volts = finite(v.number(path_of(tags, {"Microscope Info", "Voltage"})))) img.meta.voltage_kv = *volts / 1000.0;
  auto cl = finite(v.number(path_of(tags, {"Microscope Info", "STEM Camera Length"})));
  if (!cl) cl = finite(v.number(path_of(tags, {"Microscope Info", "Camera Length"})));
  if (cl) img.meta.camera_length_mm = *cl;
  auto ex = finite(v.number(path_of(tags, {"DataBar", "Exposure Time (s)"})));
  if (!ex) ex = finite(v.number(path_of(tags, {"Acquisition", "Parameters", "High Level", "Exposure (s)"})));
  if (ex) img.meta.exposure_s = *ex;
}

}  // namespace

DetectorImage read_dm_image(const std::string& path) {
  const ByteFile f(path);
  const int version = static_cast<int>(f.uint(0, 4, false, "the DM header"));
  if (version != 3 && version != 4) image_fault(path, strprintf("DM version %d (3 or 4 expected)", version));
  const int lw = version == 4 ? 8 : 4;
  const std::uint64_t root_bytes = f.uint(4, lw, false, "the DM header");
  const std::uint64_t order = f.uint(4 + lw, 4, false, "the DM header");
  const std::size_t root_at = 8 + static_cast<std::size_t>(lw);
  if (order > 1) image_fault(path, strprintf("byte-order word %llu (0 or 1 expected)", (unsigned long long)order));
  if (root_bytes > f.size() - root_at)
    image_fault(path, strprintf("the header declares %llu bytes of tags, the file holds %zu after the header",
                                (unsigned long long)root_bytes, f.size() - root_at));
  DmParser parser(f, version);
  const DmTag root = parser.root(root_at);
  const DmValues v{f, order == 1};

  const DmTag* image = main_image(root, v);
  if (!image) image_fault(path, "no ImageList entry holds ImageData with a Data array of grey pixels");
  const DmTag* data = path_of(image, {"ImageData", "Data"});
  const auto dtype = v.number(path_of(image, {"ImageData", "DataType"}));
  if (!dtype) image_fault(path, "the image has no DataType");
  const auto st = dm_sample_type(static_cast<int>(*dtype));
  if (!st) image_fault(path, strprintf("image data type %g is not a real-valued pixel type this reader takes", *dtype));
  const DmTag* dims = path_of(image, {"ImageData", "Dimensions"});
  if (!dims || dims->children.size() < 2 || dims->children.size() > 3)
    image_fault(path, strprintf("the image has %zu dimensions (2 or 3 expected)", dims ? dims->children.size() : 0));
  std::uint64_t n[3] = {1, 1, 1};
  for (std::size_t i = 0; i < dims->children.size(); ++i) {
    const auto d = v.number(&dims->children[i]);
    if (!d || !(*d >= 0.0) || *d > 1e12) image_fault(path, strprintf("dimension %zu is not a size", i));
    n[i] = static_cast<std::uint64_t>(*d);
  }
  const std::size_t frame = checked_frame_pixels(path, n[0], n[1], n[2]);
  const std::size_t want = frame * static_cast<std::size_t>(n[2]) * sample_bytes(*st);
  if (data->bytes != want)
    image_fault(path, strprintf("the pixel array holds %zu bytes, %llu x %llu x %llu %s pixels need %zu", data->bytes,
                                (unsigned long long)n[0], (unsigned long long)n[1], (unsigned long long)n[2],
                                sample_name(*st), want));

  DetectorImage img;
  img.file = path;
  img.format = version == 4 ? "DM4" : "DM3";
  img.sample_type = sample_name(*st);
  img.width = static_cast<int>(n[0]);
  img.height = static_cast<int>(n[1]);
  img.frames = static_cast<int>(n[2]);
  img.pixels.assign(frame, 0.0);
  for (std::uint64_t k = 0; k < n[2]; ++k)
    decode_samples(f.data() + data->offset + k * frame * sample_bytes(*st), frame, *st, v.little, img.pixels.data(),
                   k > 0);
  read_calibration(v, image, img);
  read_metadata(v, image, img);
  check_finite_pixels(img);
  return img;
}

}  // namespace kv
