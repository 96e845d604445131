// The key state of one database file of one connection: the codec record's keys, and during a
// re-key which form the file and its write-ahead log hold each page in. The only code that sets
// a key side or a schedule; the codec layer reads them here and reports what it writes.
#pragma once

#include "db/aes.h"
#include "db/page_codec.h"
#include "db/secure_wipe.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace ket {

// Invariant. Outside a re-key the record's three sides hold one key, the key the file is stored
// in, and every page of the file, of its rollback journal and of its log is in that form. A
// file stored plain has no record, or one with every side clear.
//
// During a re-key (BeginRekey, then Commit, or Abort and EndAbort):
//   - the read and decrypt sides keep the old key: the journal holds pages in the old form, and
//     a page the file holds in the old form is read through them;
//   - the write side holds the new key (or none) until Abort, the old one again after it;
//   - a page of the file is in the new form exactly when its last write (StorePage) enciphered
//     it in the new form and no failed write (PageFailed) came after it;
//   - the log's frames from the first one written before Abort on are in the new form, those
//     before it in the old one;
//   - the token is the page image the journal gave the engine last, in both forms. The same
//     plain bytes written back to that page are a rollback restoring it: they are stored as the
//     journal held them, in the old form, whatever the write side is.
// Commit puts all three sides on the new key. Abort and EndAbort leave the sides as they were
// before BeginRekey; the codec layer first puts back, between the two, every page the file still
// holds in the new form (InNewForm, ToOldForm). No transition reads or writes the file.
class KeyState {
 public:
  KeyState();
  ~KeyState();
  KeyState(const KeyState&) = delete;
  KeyState& operator=(const KeyState&) = delete;

  // The codec record, null while the file is plain.
  PageCodec* Codec() const { return codec_.get(); }
  // Replaces the record (null: plain). Never during a re-key.
  void Attach(std::unique_ptr<PageCodec> codec);
  bool Rekeying() const { return rekey_ != nullptr; }

  // The form the file holds page `pgno` in, as the schedule that deciphers it; null when plain.
  const AesDecryptSchedule* StoredForm(std::uint32_t pgno) const;
  // The form of the page of the log frame at `frameOffset`; null when plain.
  const AesDecryptSchedule* FrameForm(std::int64_t frameOffset) const;

  // A page image read from the rollback journal for page `pgno`, deciphered in place from the
  // stored form; during a re-key it becomes the token. Needs a record.
  void JournalImageRead(std::uint32_t pgno, std::span<std::uint8_t> image);

  // Begins a re-key to `newKey` (nullopt: plain) of a file of about `pages` pages. A plain file
  // gets an empty record for pages of `pageSize` bytes first. False when out of memory; nothing
  // has changed then.
  bool BeginRekey(const std::optional<KeyMaterial>& newKey, std::size_t pages, int pageSize);
  // Room in the table of page forms for page `pgno`, made before the page is written so that
  // every page written is tracked. False when out of memory. During a re-key only.
  bool ReservePage(std::uint32_t pgno);
  // Page `pgno` (reserved), `plain` as the engine writes it, into `out` (as many bytes) as the
  // file is to hold it, its form noted: the journal's bytes for the token restored, else the
  // write side's form. During a re-key only.
  void StorePage(std::uint32_t pgno, std::span<const std::uint8_t> plain,
                 std::span<std::uint8_t> out);
  // The engine's database write that carried the pages has ended: the token is spent.
  void WriteEnded();
  // Page `pgno` did not reach the file whole: it holds the page in the old form, or partly (the
  // journal's playback restores it).
  void PageFailed(std::uint32_t pgno);
  // The log frame at `frameOffset` is being written, in the write side's form.
  void FrameWritten(std::int64_t frameOffset);

  // The re-key committed: every side takes the new key, and a file now plain loses its record.
  void Commit();
  // The re-key failed: the write side takes the old key again, so that the rollback writes the
  // old form. The tracking goes on until EndAbort.
  void Abort();
  // After Abort: the pages the file may still hold in the new form are those below
  // TrackedPages() for which InNewForm holds; ToOldForm turns one, in place, into the old form.
  std::size_t TrackedPages() const;
  bool InNewForm(std::uint32_t pgno) const;
  void ToOldForm(std::uint32_t pgno, std::span<std::uint8_t> page) const;
  // The re-key is over: the record is as before BeginRekey (none for a plain file).
  void EndAbort();

 private:
  struct Rekey;
  void EndRekey();

  std::unique_ptr<PageCodec> codec_;
  std::unique_ptr<Rekey> rekey_;
};

} // namespace ket
