// The file type table: 115 known extensions, each with one category bit and a
// MIME type, and the index that answers category questions by extension.
#ifndef ORV_QUERY_FILE_TYPE_H_
#define ORV_QUERY_FILE_TYPE_H_

#include <cstdint>
#include <span>
#include <string_view>

namespace orv {

// Category bits.
enum FileCategory : uint32_t {
  kMusic = 1,
  kVideo = 2,
  kPhoto = 4,
  kPdf = 8,
  kWordDocument = 16,
  kSpreadsheet = 32,
  kPresentation = 64,
  kMail = 128,
};
constexpr uint32_t kMediaMask = 7;
constexpr uint32_t kDocumentMask = 248;

// One row: `extension` in lower case, without the dot.
struct FileType {
  uint32_t category;
  const char* extension;
  const char* mime_type;
};

// The rows in table order.
std::span<const FileType> file_types();

// Builds the extension index once (later calls do nothing); thread-safe.
// Until it has run every question below answers false.
void build_file_type_index();

// Whether `extension` (any letter case) has category `category`.
bool category_is(std::string_view extension, uint32_t category);
// Whether `extension` has a category within `mask`.
bool category_in(std::string_view extension, uint32_t mask);
bool is_media(std::string_view extension);     // category_in(ext, 7)
bool is_document(std::string_view extension);  // category_in(ext, 248)

}  // namespace orv

#endif  // ORV_QUERY_FILE_TYPE_H_
