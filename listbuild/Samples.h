#pragma once
// The sample addresses of "Load Sample/Example URLs": five images on the publisher's server,
// differing only in their folder.
#include <array>

namespace Samples {

inline constexpr std::array<const char*, 5> kSampleUrls = {
    "http://www.quillmoor.example/photoframe/images/ss.jpg",
    "http://www.quillmoor.example/fetchwright/images/ss.jpg",
    "http://www.quillmoor.example/tidydesk/images/ss.jpg",
    "http://www.quillmoor.example/notecraft/images/ss.jpg",
    "http://www.quillmoor.example/soundsnap/images/ss.jpg",
};

// The example in the prompt of "Get All Links Within URL".
inline constexpr const char* kExamplePageUrl = "http://www.quillmoor.example/gallery.htm";

}  // namespace Samples
