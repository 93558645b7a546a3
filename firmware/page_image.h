#pragma once
// The file check and the flash page images written beside it (.bin with page numbers and
// checksums, .avr with the raw pages).
#include <cstdint>
#include <cstdio>

#include "platform/work_folders.h"

constexpr uint32_t kPageRecords = 2048;
constexpr uint32_t kPageDataMax = 128;
constexpr std::size_t kImagePathSize = 256;
constexpr std::size_t kImageTempSize = kImagePathSize + 8;  // the name and ".tmpN"

struct page_record {
    uint32_t page_number;
    uint32_t last_page_number;
    uint8_t data[kPageDataMax];
    uint8_t page_crc;
};

struct PageImageState {
    page_record page_table[kPageRecords];
    uint32_t page_count;
    uint32_t page_fill;
    uint32_t ihex_line_num_max_app;  // lines 0 .. this - 1 are streamed to the device
    uint32_t ihex_line_eof;          // the end-of-file line the application ends with
    uint32_t hex_file_valid;
    uint32_t image_files_written;                     // the last check wrote both image files whole
    char szImageFilesError[2 * kImagePathSize + 64];  // why not, in plain words
    uint8_t ext_addr;
    uint32_t address_base;          // of the last extended segment or linear address record
    char szHexFileName[kPathSize];  // the checked file's name without its folder
    char szAVRbinPath[kImagePathSize];
    char szFlashImagePath[kImagePathSize];
    // The files being written, under their temporary names until both are complete.
    char szAVRbinTemp[kImageTempSize];
    char szFlashImageTemp[kImageTempSize];
    std::FILE* pAVRbinFile;
    std::FILE* pFlashImageFile;
    void Reset();
};
extern PageImageState g_image;

extern const char* const szHexFileOkay;
extern const char* const szHexFileError;

void PagesClear();
void PageClose();
// Checks every line against the chosen chip and, when the file passes, builds the pages,
// cuts the line table at the application's end and writes the image files. Returns
// hex_file_valid.
int HexFileCheck();
