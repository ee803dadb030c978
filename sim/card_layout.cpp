#include "sim/card_layout.h"

#include <algorithm>
#include <cstring>

#include "dictionary/dictionary.h"

namespace kx::sim {
namespace {

struct Layout {
  std::vector<FileLayout> files;
  std::vector<std::uint16_t> directories;
};

std::string FieldText(const char* field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}

void AddDirectory(std::vector<std::uint16_t>* directories, std::uint16_t id) {
  if (id == kMasterFile) return;
  if (std::find(directories->begin(), directories->end(), id) == directories->end()) {
    directories->push_back(id);
  }
}

FileLayout NewFile(std::uint16_t directory, std::uint16_t file) {
  FileLayout added;
  added.directory = directory;
  added.file = file;
  for (const FileKeyRelationRow* row = FileKeyRelation; row->directory[0] != '\0'; ++row) {
    if (row->directoryId == directory && row->fileId == file) {
      added.readCondition = FieldText(row->readCondition, sizeof row->readCondition);
      added.writeCondition = FieldText(row->writeCondition, sizeof row->writeCondition);
      break;
    }
  }
  return added;
}

Layout BuildLayout() {
  Layout layout;
  for (const CardKeyInfoRow* row = CardKeyInfo; row->directory[0] != '\0'; ++row) {
    AddDirectory(&layout.directories, row->directoryId);
  }
  for (const TagCardRecordInfoRow* row = TagCardRecordInfo; row->directory[0] != '\0'; ++row) {
    AddDirectory(&layout.directories, row->directoryId);
    auto it = std::find_if(layout.files.begin(), layout.files.end(), [&](const FileLayout& f) {
      return f.directory == row->directoryId && f.file == row->fileId;
    });
    if (it == layout.files.end()) {
      layout.files.push_back(NewFile(row->directoryId, row->fileId));
      it = layout.files.end() - 1;
    }
    const std::string name = FieldText(row->itemName, sizeof row->itemName);
    if (row->fileKind == kTransparentFile) {
      it->transparent = true;
      it->binarySize = row->length;
      it->name = name;
    } else {
      RecordLayout record;
      record.number = row->recordNumber;
      record.tag = row->tag;
      record.valueLength = row->length;
      record.dataType = row->dataType;
      record.name = name;
      it->records.push_back(record);
    }
  }
  return layout;
}

const Layout& TheLayout() {
  static const Layout layout = BuildLayout();
  return layout;
}

}  // namespace

const RecordLayout* FileLayout::FindRecord(int number) const {
  for (const RecordLayout& record : records) {
    if (record.number == number) return &record;
  }
  return nullptr;
}

const std::vector<FileLayout>& CardFileLayout() {
  return TheLayout().files;
}

const FileLayout* FindFileLayout(std::uint16_t directory, std::uint16_t file) {
  for (const FileLayout& layout : TheLayout().files) {
    if (layout.directory == directory && layout.file == file) return &layout;
  }
  return nullptr;
}

const std::vector<std::uint16_t>& CardDirectories() {
  return TheLayout().directories;
}

bool IsCardDirectory(std::uint16_t id) {
  const auto& directories = CardDirectories();
  return id == kMasterFile ||
         std::find(directories.begin(), directories.end(), id) != directories.end();
}

const Bytes& MasterFileName() {
  static const Bytes name = [] {
    const char* text = "sx1.sh.社会保障";
    return Bytes(text, text + std::strlen(text));
  }();
  return name;
}

Bytes RecordImage(const RecordLayout& layout, const Bytes& value) {
  Bytes image;
  if (layout.tag != 0) {
    image.push_back(layout.tag);
    image.push_back(static_cast<std::uint8_t>(layout.valueLength));
  }
  Bytes padded = value;
  padded.resize(layout.valueLength, 0x00);
  image.insert(image.end(), padded.begin(), padded.end());
  return image;
}

std::optional<std::uint8_t> CardKeyId(std::uint16_t directory, std::string_view name) {
  for (const CardKeyInfoRow* row = CardKeyInfo; row->directory[0] != '\0'; ++row) {
    if (row->directoryId == directory && FieldText(row->keyName, sizeof row->keyName) == name) {
      if (!row->cardKey.valid) return std::nullopt;
      return row->cardKey.value;
    }
  }
  return std::nullopt;
}

std::string CardKeyNames(std::uint16_t directory, std::uint8_t id) {
  std::string names;
  for (const CardKeyInfoRow* row = CardKeyInfo; row->directory[0] != '\0'; ++row) {
    if (row->directoryId == directory && row->cardKey.valid && row->cardKey.value == id) {
      if (!names.empty()) names += ' ';
      names += FieldText(row->keyName, sizeof row->keyName);
    }
  }
  return names;
}

}  // namespace kx::sim
