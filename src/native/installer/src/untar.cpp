// Tar archive reader. Reads ustar and old-GNU archives (GNU long names and
// long link targets included); every other dialect, pax included, is refused.
// Links are queued and created after the last entry.
#include "untar.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "path_gate.h"
#include "printable_name.h"
#include "vek_list.h"
#include "vek_logging.h"

namespace {

// File data is copied through one stack buffer of this size (20 blocks).
constexpr size_t kChunkSize = 10240;
// A GNU long name or long link target larger than this is refused before
// anything is allocated for it.
constexpr vek_uint64_t kMaxLongNameSize = TAR_MAX_LONG_NAME;

// Type bits passed to make_device. The Windows runtime knows only the
// character-device bit; the others are 0 there.
constexpr int kCharDeviceType = 0020000;
#ifdef _WIN32
constexpr int kBlockDeviceType = 0;
constexpr int kFifoType = 0;
#else
constexpr int kBlockDeviceType = 0060000;
constexpr int kFifoType = 0010000;
#endif

enum class ReadResult { kComplete, kEndOfStream, kFailed };
enum class HeaderResult { kHeader, kEndOfArchive, kFailed };

// Fills buf with len bytes, looping on short reads. kEndOfStream only when
// the stream ended before the first byte; an end after some bytes is kFailed.
ReadResult read_fully(untar_ops* ops, untar_context* ctx, char* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t got = ops->read(ctx, buf + done, len - done);
    if (got < 0) {
      veklog(VEK_HERE, VEKLOG_DEBUG, "failed to read file name: %s", strerror(errno));
      return ReadResult::kFailed;
    }
    if (got == 0) {
      if (done == 0) return ReadResult::kEndOfStream;
      veklog(VEK_HERE, VEKLOG_ERROR, "tar archive is truncated: %lu of %lu bytes read", (unsigned long)done,
             (unsigned long)len);
      errno = EIO;
      return ReadResult::kFailed;
    }
    done += static_cast<size_t>(got);
  }
  return ReadResult::kComplete;
}

bool read_exactly(untar_ops* ops, untar_context* ctx, char* buf, size_t len) {
  ReadResult r = read_fully(ops, ctx, buf, len);
  if (r == ReadResult::kEndOfStream) {
    veklog(VEK_HERE, VEKLOG_ERROR, "tar archive is truncated: end of stream where %lu bytes were expected",
           (unsigned long)len);
    errno = EIO;
  }
  return r == ReadResult::kComplete;
}

// Reads exactly len bytes into b, then skips the rest of the last block.
bool read_blocks(untar_ops* ops, untar_context* ctx, void* b, size_t len) {
  veklog(VEK_HERE, VEKLOG_DEBUG2, "reading %d bytes from tar", (int)len);
  if (len == 0) return true;
  if (!read_exactly(ops, ctx, static_cast<char*>(b), len)) return false;
  size_t rest = len % TAR_BLOCK_SIZE;
  if (rest == 0) return true;
  char scratch[TAR_BLOCK_SIZE];
  veklog(VEK_HERE, VEKLOG_DEBUG2, "reading %d remaining bytes in block", (int)(TAR_BLOCK_SIZE - rest));
  if (!read_exactly(ops, ctx, scratch, TAR_BLOCK_SIZE - rest)) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "failed to skip unused block: %s", strerror(errno));
    return false;
  }
  return true;
}

// GNU base-256: the first byte's high bit marks the form, its next bit is
// the sign. Negative values and values beyond 64 bits are refused.
bool parse_base256(const unsigned char* field, size_t width, vek_uint64_t* value) {
  if (field[0] & 0x40) return false;
  vek_uint64_t v = field[0] & 0x3f;
  for (size_t i = 1; i < width; ++i) {
    if (v > (UINT64_MAX >> 8)) return false;
    v = (v << 8) | field[i];
  }
  *value = v;
  return true;
}

// Octal digits after optional blanks, ended by a NUL, blanks or the end of
// the field (a full-width field has no terminator). A field without digits
// is 0; a stray character or an overflow is refused.
bool parse_octal(const char* field, size_t width, vek_uint64_t* value) {
  size_t i = 0;
  while (i < width && field[i] == ' ') ++i;
  vek_uint64_t v = 0;
  for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
    if (v > (UINT64_MAX >> 3)) return false;
    v = (v << 3) | static_cast<vek_uint64_t>(field[i] - '0');
  }
  while (i < width && field[i] == ' ') ++i;
  if (i < width && field[i] != '\0') return false;
  *value = v;
  return true;
}

// Value of a numeric header field; false (logged) when it is malformed.
bool parse_number(const char* field, size_t width, const char* what, vek_uint64_t* value) {
  auto* bytes = reinterpret_cast<const unsigned char*>(field);
  bool ok = (bytes[0] & 0x80) ? parse_base256(bytes, width, value) : parse_octal(field, width, value);
  if (!ok) {
    veklog(VEK_HERE, VEKLOG_ERROR, "malformed %s field %s in tar header", what,
           printable_name(std::string(field, strnlen(field, width))).c_str());
    errno = EINVAL;
  }
  return ok;
}

// A numeric field that must fit an int (mode, device numbers).
bool parse_int_field(const char* field, size_t width, const char* what, int* value) {
  vek_uint64_t v = 0;
  if (!parse_number(field, width, what, &v)) return false;
  if (v > INT_MAX) {
    veklog(VEK_HERE, VEKLOG_ERROR, "%s %" VEK_PRIu64 " in tar header is out of range", what, (unsigned long long)v);
    errno = EINVAL;
    return false;
  }
  *value = static_cast<int>(v);
  return true;
}

bool parse_size(const tar_header* header, vek_uint64_t* size) {
  return parse_number(header->size, sizeof header->size, "size", size);
}

// Text of a fixed field: up to its first NUL, never past its width.
std::string field_text(const char* field, size_t width) { return std::string(field, strnlen(field, width)); }

bool is_ustar_archive(const tar_header* header) {
  return memcmp(header->magic, TAR_USTAR_MAGIC, sizeof header->magic) == 0 &&
         (memcmp(header->version, "00", 2) == 0 || memcmp(header->version, "\0\0", 2) == 0);
}

bool is_oldgnu_archive(const tar_header* header) {
  // The version's second byte is not checked: old GNU writers vary there.
  return memcmp(header->magic, TAR_OLDGNU_MAGIC, sizeof header->magic + 1) == 0;
}

bool is_zero_block(const char* block) {
  for (size_t i = 0; i < TAR_BLOCK_SIZE; ++i)
    if (block[i] != 0) return false;
  return true;
}

// After one zero block: a second one (or the end of the stream) ends the
// archive; anything else is damage.
HeaderResult check_end_of_archive(untar_ops* ops, untar_context* ctx, tar_block* block) {
  veklog(VEK_HERE, VEKLOG_DEBUG2, "found an empty block, checking next for end of archive");
  ReadResult r = read_fully(ops, ctx, block->data, TAR_BLOCK_SIZE);
  if (r == ReadResult::kFailed) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot read second empty block at end of archive: %s", strerror(errno));
    return HeaderResult::kFailed;
  }
  if (r == ReadResult::kEndOfStream || is_zero_block(block->data)) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "end of tar");
    return HeaderResult::kEndOfArchive;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "unexpected empty tar header");
  errno = EINVAL;
  return HeaderResult::kFailed;
}

// Reads the next header block into header.
HeaderResult read_tar_header(untar_ops* ops, untar_context* ctx, tar_header* header) {
  tar_block block;
  ReadResult r = read_fully(ops, ctx, block.data, TAR_BLOCK_SIZE);
  if (r == ReadResult::kEndOfStream) {
    veklog(VEK_HERE, VEKLOG_ERROR, "tar archive is truncated: no end-of-archive blocks");
    errno = EIO;
    return HeaderResult::kFailed;
  }
  if (r == ReadResult::kFailed) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot read header block");
    return HeaderResult::kFailed;
  }
  if (is_zero_block(block.data)) return check_end_of_archive(ops, ctx, &block);
  memcpy(header, &block.header, sizeof *header);
  if (!is_ustar_archive(header) && !is_oldgnu_archive(header)) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "archive is an unsupported tar format");
    errno = EINVAL;
    return HeaderResult::kFailed;
  }
  return HeaderResult::kHeader;
}

// Reads a GNU long name ('L') or long link target ('K') and then the header
// it belongs to, into the same header record.
bool extract_gnutar_file_name(untar_ops* ops, untar_context* ctx, tar_header* header, std::string* name) {
  vek_uint64_t size = 0;
  if (!parse_size(header, &size)) return false;
  if (size > kMaxLongNameSize) {
    veklog(VEK_HERE, VEKLOG_ERROR, "GNU long name of %" VEK_PRIu64 " bytes exceeds the limit of %" VEK_PRIu64,
           (unsigned long long)size, (unsigned long long)kMaxLongNameSize);
    errno = EINVAL;
    return false;
  }
  std::string data(static_cast<size_t>(size), '\0');
  veklog(VEK_HERE, VEKLOG_DEBUG2, "reading file name %d bytes long", (int)size);
  if (!read_blocks(ops, ctx, data.data(), data.size())) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "failed to read file name");
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "updating header with file data");
  if (read_tar_header(ops, ctx, header) != HeaderResult::kHeader) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot read updated file information");
    return false;
  }
  *name = field_text(data.data(), data.size());
  veklog(VEK_HERE, VEKLOG_DEBUG2, "successfully read GNU file name %s", printable_name(*name).c_str());
  return true;
}

std::string extract_ustar_file_name(const tar_header* header) {
  std::string name = field_text(header->name, sizeof header->name);
  if (header->prefix[0] == '\0') return name;
  return field_text(header->prefix, sizeof header->prefix) + "/" + name;
}

bool extract_file_name(untar_ops* ops, untar_context* ctx, tar_header* header, std::string* name) {
  if (header->typeflag == TAR_TYPE_LONG_NAME) return extract_gnutar_file_name(ops, ctx, header, name);
  *name = extract_ustar_file_name(header);
  return true;
}

// Hands a chunk to write_file until all of it is written.
bool write_chunk(untar_ops* ops, untar_context* ctx, int fd, const char* buf, size_t sz) {
  while (sz > 0) {
    int written = ops->write_file(ctx, fd, buf, sz);
    if (written <= 0) {
      veklog(VEK_HERE, VEKLOG_DEBUG, "failed to write data");
      return false;
    }
    buf += written;
    sz -= static_cast<size_t>(written);
  }
  return true;
}

// Copies the entry's data, whose size is 64-bit in every build.
bool copy_file_data(untar_ops* ops, untar_context* ctx, int fd, vek_uint64_t remaining) {
  char buffer[kChunkSize];
  while (remaining > 0) {
    size_t chunk = remaining < kChunkSize ? static_cast<size_t>(remaining) : kChunkSize;
    if (!read_blocks(ops, ctx, buffer, chunk)) {
      veklog(VEK_HERE, VEKLOG_DEBUG, "failed to extract data");
      return false;
    }
    if (!write_chunk(ops, ctx, fd, buffer, chunk)) return false;
    remaining -= chunk;
  }
  return true;
}

bool make_file(untar_ops* ops, untar_context* ctx, const tar_header* header, const char* file_name) {
  veklog(VEK_HERE, VEKLOG_DEBUG2, "extracting file %s", printable_name(file_name).c_str());
  int mode = 0;
  vek_uint64_t size = 0;
  if (!parse_int_field(header->mode, sizeof header->mode, "mode", &mode) || !parse_size(header, &size)) return false;
  int fd = ops->open_file(ctx, file_name, mode);
  if (fd == -1) {
    veklog(VEK_HERE, VEKLOG_DEBUG2, "cannot open %s for extraction", printable_name(file_name).c_str());
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG2, "extracting %s using local buffers", printable_name(file_name).c_str());
  bool ok = copy_file_data(ops, ctx, fd, size);
  int saved_errno = errno;
  ops->close_file(ctx, fd);
  errno = saved_errno;
  return ok;
}

bool make_directory(untar_ops* ops, untar_context* ctx, const tar_header* header, const char* directory_name) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "creating directory %s", printable_name(directory_name).c_str());
  int mode = 0;
  if (!parse_int_field(header->mode, sizeof header->mode, "mode", &mode)) return false;
  return ops->make_directory(ctx, directory_name, mode);
}

bool make_device(untar_ops* ops, untar_context* ctx, const tar_header* header, const char* device_name, int type) {
  int mode = 0, major = 0, minor = 0;
  if (!parse_int_field(header->mode, sizeof header->mode, "mode", &mode) ||
      !parse_int_field(header->devmajor, sizeof header->devmajor, "devmajor", &major) ||
      !parse_int_field(header->devminor, sizeof header->devminor, "devminor", &minor))
    return false;
  veklog(VEK_HERE, VEKLOG_DEBUG2, "creating device %s (%d:%d)", printable_name(device_name).c_str(), major, minor);
  return ops->make_device(ctx, device_name, type | mode, major, minor);
}

void free_link(queued_link* link) {
  if (link == nullptr) return;
  free(link->from_file_name);
  free(link->to_file_name);
  free(link);
}

// The typeflag as messages show it (a control character is escaped).
std::string type_text(char typeflag) { return printable_name(std::string(1, typeflag)); }

// The same name always gives the same key ("./a//b/" and "a/b" are one
// name), split as this system's file-writing operations split it.
std::string name_key(const char* name) { return path_key(name, native_path_rules()); }

// The link queue of one archive (a vek_list_t of queued_link_t, in archive
// order); whatever it holds is released with it. An entry supersedes the
// links queued before it under the same name, as extracting in archive order
// would have: the later entry is what stays.
class LinkQueue {
 public:
  LinkQueue() : list_(vek_listCreate(1)) {}
  ~LinkQueue() {
    if (list_ == nullptr) return;
    for (size_t i = 0; i < vek_listGetSize(list_); ++i) free_link(static_cast<queued_link*>(vek_listGet(list_, i)));
    vek_listDestroy(list_);
  }
  LinkQueue(const LinkQueue&) = delete;
  LinkQueue& operator=(const LinkQueue&) = delete;

  bool created() const { return list_ != nullptr; }
  vek_list_t* list() const { return list_; }

  // Called for every entry before it is applied.
  void supersede(const std::string& name) {
    if (by_name_.empty()) return;
    auto found = by_name_.find(name_key(name.c_str()));
    if (found == by_name_.end()) return;
    for (queued_link* link : found->second) link->superseded = true;
    by_name_.erase(found);
  }

  bool add(const std::string& from, const std::string& to, link_function func);

 private:
  vek_list_t* list_;
  std::unordered_map<std::string, std::vector<queued_link*>> by_name_;  // name key -> links not superseded
};

bool queue_link(vek_list_t* link_list, const char* from_file_name, const char* to_file_name, link_function link_func,
                queued_link** queued) {
  veklog(VEK_HERE, VEKLOG_DEBUG, "postponing creation of link %s -> %s", printable_name(from_file_name).c_str(),
         printable_name(to_file_name).c_str());
  auto* link = static_cast<queued_link*>(calloc(1, sizeof(queued_link)));
  if (link == nullptr) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot allocate new link: %s", strerror(errno));
    return false;
  }
  link->link_func = link_func;
  link->from_file_name = strdup(from_file_name);
  if (link->from_file_name == nullptr) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot duplicate from file name: %s", strerror(errno));
  } else if ((link->to_file_name = strdup(to_file_name)) == nullptr) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot duplicate to file name: %s", strerror(errno));
  } else if (!vek_listAdd(link_list, link)) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot add link to queue: %s", strerror(errno));
  } else {
    *queued = link;
    return true;
  }
  free_link(link);
  return false;
}

bool LinkQueue::add(const std::string& from, const std::string& to, link_function func) {
  supersede(from);
  queued_link* link = nullptr;
  if (!queue_link(list_, from.c_str(), to.c_str(), func, &link)) return false;
  try {
    by_name_[name_key(from.c_str())].push_back(link);
  } catch (const std::bad_alloc&) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot add link to queue: %s", strerror(ENOMEM));
    errno = ENOMEM;
    return false;
  }
  return true;
}

// Links that failed, by the name of what they link to: a hard link whose
// target is itself a queued link is tried again once that link is made.
using waiting_links_t = std::unordered_multimap<std::string, queued_link*>;

// Creates `first` and then every waiting link that a creation made possible.
// Each link is tried once, and again only when a link is made at the name
// it points to: the work grows with the queue, not with its square. False
// when an operation aborted the archive.
bool create_link(untar_context* ctx, queued_link* first, waiting_links_t* waiting) {
  std::vector<queued_link*> ready{first};
  while (!ready.empty()) {
    queued_link* link = ready.back();
    ready.pop_back();
    std::string from = printable_name(link->from_file_name), to = printable_name(link->to_file_name);
    veklog(VEK_HERE, VEKLOG_DEBUG2, "linking %s to %s", from.c_str(), to.c_str());
    if (link->link_func(ctx, link->to_file_name, link->from_file_name)) {
      veklog(VEK_HERE, VEKLOG_DEBUG, "succesfully created link");
      veklog(VEK_HERE, VEKLOG_DEBUG, "post-processed a link");
      auto woken = waiting->equal_range(name_key(link->from_file_name));
      for (auto it = woken.first; it != woken.second; ++it) ready.push_back(it->second);
      waiting->erase(woken.first, woken.second);
      continue;
    }
    if (ctx->abort_archive) return false;
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot link %s to %s, will try again later", from.c_str(), to.c_str());
    waiting->emplace(name_key(link->to_file_name), link);
  }
  return true;
}

// Creates the queued links in archive order; links that never succeed are
// dropped. False when an operation aborted the archive.
bool create_queued_links(untar_context* ctx, const LinkQueue& queue) {
  waiting_links_t waiting;
  size_t count = vek_listGetSize(queue.list());
  for (size_t i = 0; i < count; ++i) {
    auto* link = static_cast<queued_link*>(vek_listGet(queue.list(), i));
    if (link == nullptr) {
      veklog(VEK_HERE, VEKLOG_DEBUG, "found a NULL link");
      return true;
    }
    if (!link->superseded && !create_link(ctx, link, &waiting)) return false;
  }
  return true;
}

bool extract_file(untar_ops* ops, untar_context* ctx, tar_header* header, LinkQueue& queue) {
  std::string name;
  if (!extract_file_name(ops, ctx, header, &name)) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot read regular file name");
    return false;
  }
  std::string shown = printable_name(name);
  veklog(VEK_HERE, VEKLOG_DEBUG, "extracting file %s", shown.c_str());
  queue.supersede(name);
  if (!make_file(ops, ctx, header, name.c_str())) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot create %s", shown.c_str());
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "successfully extracted %s", shown.c_str());
  return true;
}

bool extract_directory(untar_ops* ops, untar_context* ctx, tar_header* header, LinkQueue& queue) {
  std::string name;
  if (!extract_file_name(ops, ctx, header, &name)) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot allocate name: %s", strerror(errno));
    return false;
  }
  std::string shown = printable_name(name);
  veklog(VEK_HERE, VEKLOG_DEBUG, "extracting directory %s", shown.c_str());
  queue.supersede(name);
  if (!make_directory(ops, ctx, header, name.c_str())) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot extract %s", shown.c_str());
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "successfully extracted %s", shown.c_str());
  return true;
}

bool extract_device(untar_ops* ops, untar_context* ctx, tar_header* header, int type, LinkQueue& queue) {
  std::string name;
  if (!extract_file_name(ops, ctx, header, &name)) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot read device file name");
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "extracting device %s", printable_name(name).c_str());
  queue.supersede(name);
  return make_device(ops, ctx, header, name.c_str(), type);
}

bool extract_link(untar_ops* ops, untar_context* ctx, tar_header* header, link_function func, LinkQueue& queue) {
  std::string name;
  if (!extract_file_name(ops, ctx, header, &name)) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot extract name of link file");
    return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, "extracting link %s", printable_name(name).c_str());
  return queue.add(name, field_text(header->linkname, sizeof header->linkname), func);
}

// The entry behind an 'L' header; links are not expected there (a long name
// with a long target comes as 'K' then 'L').
bool extract_long_file(untar_ops* ops, untar_context* ctx, tar_header* header, LinkQueue& queue) {
  std::string name;
  if (!extract_file_name(ops, ctx, header, &name)) return false;
  const char* n = name.c_str();
  std::string shown = printable_name(name);
  const char* s = shown.c_str();
  veklog(VEK_HERE, VEKLOG_DEBUG, "extracting long entry %s", s);
  bool ok = false;
  switch (header->typeflag) {
    case TAR_TYPE_FILE:
      veklog(VEK_HERE, VEKLOG_DEBUG, "extracting file %s", s);
      queue.supersede(name);
      ok = make_file(ops, ctx, header, n);
      break;
    case TAR_TYPE_CHAR_DEVICE:
      veklog(VEK_HERE, VEKLOG_DEBUG, "extracting character device %s", s);
      queue.supersede(name);
      ok = make_device(ops, ctx, header, n, kCharDeviceType);
      break;
    case TAR_TYPE_BLOCK_DEVICE:
      veklog(VEK_HERE, VEKLOG_DEBUG, "extracting block device %s", s);
      queue.supersede(name);
      ok = make_device(ops, ctx, header, n, kBlockDeviceType);
      break;
    case TAR_TYPE_DIRECTORY:
      veklog(VEK_HERE, VEKLOG_DEBUG, "extracting directory %s", s);
      queue.supersede(name);
      ok = make_directory(ops, ctx, header, n);
      break;
    case TAR_TYPE_FIFO:
      veklog(VEK_HERE, VEKLOG_DEBUG, "extracting FIFO %s", s);
      queue.supersede(name);
      ok = make_device(ops, ctx, header, n, kFifoType);
      break;
    default:
      veklog(VEK_HERE, VEKLOG_DEBUG, "unexpected long file type %s", type_text(header->typeflag).c_str());
      return false;
  }
  veklog(VEK_HERE, VEKLOG_DEBUG, ok ? "succesfully extracted %s" : "failed to extract %s", s);
  return ok;
}

bool extract_longlink(untar_ops* ops, untar_context* ctx, tar_header* header, LinkQueue& queue) {
  std::string target;
  if (!extract_gnutar_file_name(ops, ctx, header, &target)) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot extract linked file for %s", "a GNU long link entry");
    return false;
  }
  std::string name;
  if (!extract_file_name(ops, ctx, header, &name)) return false;
  veklog(VEK_HERE, VEKLOG_DEBUG, "extracting long link %s", printable_name(name).c_str());
  switch (header->typeflag) {
    case TAR_TYPE_HARDLINK: return queue.add(name, target, ops->make_hardlink);
    case TAR_TYPE_SYMLINK: return queue.add(name, target, ops->make_symlink);
    default:
      veklog(VEK_HERE, VEKLOG_DEBUG, "cannot link %s to %s:  unexpected link type %s", printable_name(name).c_str(),
             printable_name(target).c_str(), type_text(header->typeflag).c_str());
      return false;
  }
}

bool extract_entry(untar_ops* ops, untar_context* ctx, LinkQueue& queue, tar_header* header) {
  switch (header->typeflag) {
    case TAR_TYPE_FILE: return extract_file(ops, ctx, header, queue);
    case TAR_TYPE_HARDLINK: return extract_link(ops, ctx, header, ops->make_hardlink, queue);
    case TAR_TYPE_SYMLINK: return extract_link(ops, ctx, header, ops->make_symlink, queue);
    case TAR_TYPE_CHAR_DEVICE: return extract_device(ops, ctx, header, kCharDeviceType, queue);
    case TAR_TYPE_BLOCK_DEVICE: return extract_device(ops, ctx, header, kBlockDeviceType, queue);
    case TAR_TYPE_DIRECTORY: return extract_directory(ops, ctx, header, queue);
    case TAR_TYPE_FIFO: return extract_device(ops, ctx, header, kFifoType, queue);
    case TAR_TYPE_LONG_LINK: return extract_longlink(ops, ctx, header, queue);
    case TAR_TYPE_LONG_NAME: return extract_long_file(ops, ctx, header, queue);
    default:
      veklog(VEK_HERE, VEKLOG_WARN, "skipping unknown archive type %s", type_text(header->typeflag).c_str());
      errno = EINVAL;
      return false;
  }
}

}  // namespace

bool extract_tar(untar_ops* ops, untar_context* ctx) {
  ctx->written_bytes = 0;
  ctx->abort_archive = false;
  LinkQueue queue;
  if (!queue.created()) {
    veklog(VEK_HERE, VEKLOG_DEBUG, "cannot create file link list");
    return false;
  }
  for (;;) {
    tar_header header;
    HeaderResult r = read_tar_header(ops, ctx, &header);
    if (r == HeaderResult::kEndOfArchive) break;
    if (r == HeaderResult::kFailed || !extract_entry(ops, ctx, queue, &header)) {
      veklog(VEK_HERE, VEKLOG_DEBUG, "cannot extract tar file");
      return false;
    }
  }
  return create_queued_links(ctx, queue) && !ctx->abort_archive;
}
