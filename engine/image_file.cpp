#include "image_file.h"

#include "regular_file.h"

namespace talvex {

ImageOpenFailure OpenRegularFile(const std::string& path, UniqueFile& file, std::string* whyNot) {
    file.reset();
    RegularFile opened = OpenRegularFileForReading(path);
    switch (opened.status) {
    case RegularFileStatus::Opened: file = std::move(opened.file); return ImageOpenFailure::None;
    case RegularFileStatus::NotRegular: return ImageOpenFailure::NotRegularFile;
    case RegularFileStatus::Missing:
    case RegularFileStatus::CannotOpen:
    case RegularFileStatus::TooLarge: break; // no limit was asked for
    }
    if (whyNot) *whyNot = opened.reason;
    return ImageOpenFailure::CannotOpen;
}

} // namespace talvex
