#include "db/key_state.h"

#include <cstring>
#include <new>
#include <vector>

namespace ket {

// The sides of a record are set here only: by the record's own keying, and by the transitions
// of the key state below.
void PageCodec::SetAllSides(const KeyMaterial& material) {
  const std::span<const std::uint8_t, 32> cipherKey(material.data(), 32);
  writeSchedule_ = AesEncryptSchedule(cipherKey);
  readSchedule_ = writeSchedule_;
  decryptSchedule_ = AesDecryptSchedule(writeSchedule_);
  writeKeySet_ = readKeySet_ = decryptKeySet_ = 1;
  keyMaterial_ = material;
}

// What a re-key adds to the record while it runs. Its buffers hold page images (plain ones
// among them) and wipe themselves when freed, as do the schedules.
struct KeyState::Rekey {
  std::optional<KeyMaterial> newKey;
  AesDecryptSchedule newDecrypt; // when newKey
  bool aborted = false;
  std::vector<bool> newPages; // by page number: the file holds the page in the new form
  // The log's frames from this offset on are in the new form; those before it (none, unless
  // another connection wrote between the pass's merge of the log and its lock) in the old one.
  // -1 while the re-key has written no frame.
  std::int64_t walNewFrom = -1;
  bool tokenValid = false;
  std::uint32_t tokenPage = 0;
  SecretBytes tokenStored;
  SecretBytes tokenPlain;
};

KeyState::KeyState() = default;
KeyState::~KeyState() = default;

void KeyState::Attach(std::unique_ptr<PageCodec> codec) {
  codec_ = std::move(codec);
}

const AesDecryptSchedule* KeyState::StoredForm(std::uint32_t pgno) const {
  if (codec_ == nullptr) {
    return nullptr;
  }
  if (rekey_ && pgno < rekey_->newPages.size() && rekey_->newPages[pgno]) {
    return rekey_->newKey ? &rekey_->newDecrypt : nullptr;
  }
  return codec_->StoredForm();
}

const AesDecryptSchedule* KeyState::FrameForm(std::int64_t frameOffset) const {
  if (codec_ == nullptr) {
    return nullptr;
  }
  if (rekey_ && rekey_->walNewFrom >= 0 && frameOffset >= rekey_->walNewFrom) {
    return rekey_->newKey ? &rekey_->newDecrypt : nullptr;
  }
  return codec_->StoredForm();
}

void KeyState::JournalImageRead(std::uint32_t pgno, std::span<std::uint8_t> image) {
  bool keep = rekey_ != nullptr;
  if (keep &&
      (rekey_->tokenStored.size() != image.size() || rekey_->tokenPlain.size() != image.size())) {
    try {
      rekey_->tokenStored.resize(image.size());
      rekey_->tokenPlain.resize(image.size());
    } catch (const std::bad_alloc&) {
      keep = false; // then the re-key's end puts the page back
    }
  }
  if (rekey_ != nullptr) {
    rekey_->tokenValid = false;
  }
  if (keep) {
    std::memcpy(rekey_->tokenStored.data(), image.data(), image.size());
  }
  codec_->DecipherStored(image, pgno);
  if (keep) {
    std::memcpy(rekey_->tokenPlain.data(), image.data(), image.size());
    rekey_->tokenPage = pgno;
    rekey_->tokenValid = true;
  }
}

bool KeyState::BeginRekey(const std::optional<KeyMaterial>& newKey, std::size_t pages,
                          int pageSize) {
  try {
    auto rekey = std::make_unique<Rekey>();
    rekey->newPages.resize(pages);
    std::unique_ptr<PageCodec> empty = codec_ ? nullptr : PageCodec::Empty(pageSize);
    AesEncryptSchedule write;
    if (newKey) {
      write = AesEncryptSchedule(std::span<const std::uint8_t, 32>(newKey->data(), 32));
      rekey->newDecrypt = AesDecryptSchedule(write);
      rekey->newKey = *newKey;
    }
    if (empty) {
      codec_ = std::move(empty);
    }
    // The write side takes the new key; pages are still read, and journaled, in the old form.
    codec_->writeKeySet_ = newKey ? 1 : 0;
    if (newKey) {
      codec_->writeSchedule_ = write;
    }
    rekey_ = std::move(rekey);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool KeyState::ReservePage(std::uint32_t pgno) {
  try {
    if (pgno >= rekey_->newPages.size()) {
      rekey_->newPages.resize(static_cast<std::size_t>(pgno) + 1);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void KeyState::StorePage(std::uint32_t pgno, std::span<const std::uint8_t> plain,
                         std::span<std::uint8_t> out) {
  Rekey& r = *rekey_;
  const std::size_t size = plain.size();
  const bool restoring = r.tokenValid && r.tokenPage == pgno && r.tokenPlain.size() == size &&
                         r.tokenStored.size() == size &&
                         std::memcmp(plain.data(), r.tokenPlain.data(), size) == 0;
  if (restoring) {
    std::memcpy(out.data(), r.tokenStored.data(), size);
  } else if (codec_->writeKeySet_) {
    EncipherPage(codec_->writeSchedule_, pgno, plain, out);
  } else {
    std::memcpy(out.data(), plain.data(), size);
  }
  // After Abort the write side is the old form again.
  if (pgno < r.newPages.size()) {
    r.newPages[pgno] = !restoring && !r.aborted;
  }
}

void KeyState::WriteEnded() {
  if (rekey_) {
    rekey_->tokenValid = false;
  }
}

void KeyState::PageFailed(std::uint32_t pgno) {
  if (rekey_ && pgno < rekey_->newPages.size()) {
    rekey_->newPages[pgno] = false;
  }
}

void KeyState::FrameWritten(std::int64_t frameOffset) {
  if (rekey_ && !rekey_->aborted && (rekey_->walNewFrom < 0 || frameOffset < rekey_->walNewFrom)) {
    rekey_->walNewFrom = frameOffset;
  }
}

void KeyState::Commit() {
  const Rekey& r = *rekey_;
  codec_->readKeySet_ = codec_->decryptKeySet_ = r.newKey ? 1 : 0;
  if (r.newKey) {
    codec_->keyMaterial_ = *r.newKey;
    codec_->readSchedule_ = codec_->writeSchedule_;
    codec_->decryptSchedule_ = r.newDecrypt;
  }
  EndRekey();
}

void KeyState::Abort() {
  codec_->writeKeySet_ = codec_->readKeySet_;
  codec_->writeSchedule_ = codec_->readSchedule_;
  rekey_->aborted = true;
}

std::size_t KeyState::TrackedPages() const {
  return rekey_ ? rekey_->newPages.size() : 0;
}

bool KeyState::InNewForm(std::uint32_t pgno) const {
  return rekey_ && pgno < rekey_->newPages.size() && rekey_->newPages[pgno];
}

void KeyState::ToOldForm(std::uint32_t pgno, std::span<std::uint8_t> page) const {
  if (rekey_->newKey) {
    DecipherPage(rekey_->newDecrypt, pgno, page);
  }
  codec_->EncipherStored(page, pgno);
}

void KeyState::EndAbort() {
  EndRekey();
}

void KeyState::EndRekey() {
  rekey_.reset();
  if (codec_ && (!codec_->HasWriteKey() || !codec_->HasDecryptKey())) {
    codec_.reset(); // plain from now on
  }
}

} // namespace ket
