// Files of the image tests: reading and writing an image's bytes, and the
// symbol file the loader reads beside it.

#ifndef KVR_SIM_TESTS_IMAGE_FILES_H
#define KVR_SIM_TESTS_IMAGE_FILES_H

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace image_files
{

inline std::string Read(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void Write(const std::filesystem::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::filesystem::path SymbolsOf(const std::filesystem::path &image)
{
    return std::filesystem::path(image).replace_extension(".sym");
}

} // namespace image_files

#endif // KVR_SIM_TESTS_IMAGE_FILES_H
