#include "outlook/outbox/Compose.h"

#include <gmime/gmime.h>

#include <string_view>
#include <vector>

#include "outlook/OutlookModel.h"
#include "outlook/outbox/Support.h"

namespace outlook::outbox {

bool ValidAddress(const std::string& address) {
  if (address.empty() || address.size() > 254 || address[0] == '-') return false;
  const std::size_t at = address.find('@');
  if (at == std::string::npos || at == 0 || at + 1 >= address.size() ||
      address.find('@', at + 1) != std::string::npos)
    return false;
  for (const char c : address) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == ',' || c == ';' || c == '<' || c == '>' || c == '"' ||
        c == '(' || c == ')' || c == '\\' || c == '[' || c == ']')
      return false;
  }
  return true;
}

std::string HeaderSafe(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return out;
}

namespace {

constexpr std::size_t kFoldAt = 76;  // a folded header line stays within 78 characters

bool PlainAscii(std::string_view text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) return false;
  }
  return true;
}

// The text as valid UTF-8, with control characters (C0 and C1) as blanks: nothing a phone shows,
// and readers treat them differently. Format characters stay: they belong to the text.
std::string CleanText(const std::string& text) {
  return DisplayText(text, /*drop_format=*/false);
}

// `name: value`, folded only at single blanks between words of the value (so runs of blanks stay
// as they are), each line within the limit where the words allow; a word is never longer than an
// encoded word, well within 998 bytes.
std::string FoldedHeader(const std::string& name, const std::vector<std::string>& words) {
  std::string out = name + ":";
  std::size_t line = out.size();
  bool after_word = false;
  for (const auto& word : words) {
    if (!word.empty() && after_word && line + 1 + word.size() > kFoldAt) {
      out += "\n";
      line = 0;
    }
    out += " " + word;
    line += 1 + word.size();
    after_word = !word.empty();
  }
  return out + "\n";
}

// RFC 2047 encoded words (UTF-8, Q encoding) for `text`, each within 75 characters and never
// splitting a character. Q rather than base64: some readers join adjacent words before decoding,
// and a base64 word's padding would then end the text early.
std::vector<std::string> EncodedWords(const std::string& text) {
  constexpr std::size_t kMaxPayload = 75 - 12;  // "=?UTF-8?Q?" and "?="
  static constexpr char kHex[] = "0123456789ABCDEF";
  auto encode = [](unsigned char c) -> std::string {
    if (c == ' ') return "_";
    if (std::isalnum(c) || c == '!' || c == '*' || c == '+' || c == '-' || c == '/')
      return std::string(1, static_cast<char>(c));
    return std::string{'=', kHex[c >> 4], kHex[c & 15]};
  };
  std::vector<std::string> words;
  std::string payload;
  std::size_t at = 0;
  while (at < text.size()) {
    // One whole character at a time.
    std::size_t end = at + 1;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    std::string piece;
    for (std::size_t i = at; i < end; ++i) piece += encode(static_cast<unsigned char>(text[i]));
    if (!payload.empty() && payload.size() + piece.size() > kMaxPayload) {
      words.push_back("=?UTF-8?Q?" + payload + "?=");
      payload.clear();
    }
    payload += piece;
    at = end;
  }
  if (!payload.empty()) words.push_back("=?UTF-8?Q?" + payload + "?=");
  return words;
}

// The words of plain ASCII text, split at its blanks (an empty word for each blank of a run); none
// when the text must be encoded: not plain ASCII, or something that looks like an encoded word,
// or a word too long to fold.
std::vector<std::string> PlainWords(const std::string& value) {
  if (!PlainAscii(value) || value.find("=?") != std::string::npos ||
      value.find("?=") != std::string::npos)
    return {};
  std::vector<std::string> words;
  std::string word;
  for (const char c : value + " ") {
    if (c != ' ') {
      word += c;
      continue;
    }
    if (word.size() > kFoldAt) return {};
    words.push_back(word);
    word.clear();
  }
  return words;
}

// The domain of an address: letters, digits, dots and hyphens only, else "localhost".
std::string DomainOf(const std::string& address) {
  const std::size_t at = address.rfind('@');
  std::string domain = at != std::string::npos ? address.substr(at + 1) : "";
  for (const char c : domain) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-')) return "localhost";
  }
  return domain.empty() ? "localhost" : domain;
}

// The sender as "Name <address>" or "address", from a profile's `from` that may carry a name.
void SplitFrom(const std::string& from, std::string& name, std::string& address) {
  name.clear();
  address = HeaderSafe(from);
  InternetAddressList* list = internet_address_list_parse(nullptr, HeaderSafe(from).c_str());
  if (list == nullptr) return;
  if (internet_address_list_length(list) == 1) {
    InternetAddress* a = internet_address_list_get_address(list, 0);
    if (INTERNET_ADDRESS_IS_MAILBOX(a)) {
      const char* addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
      const char* display = internet_address_get_name(a);
      if (addr != nullptr) address = addr;
      if (display != nullptr) name = CleanText(display);
    }
  }
  g_object_unref(list);
}

// Parses the message back and checks it has exactly the headers meant, each once, the one
// recipient, the subject and the body it was given.
bool ComposedAsMeant(const std::string& message, const std::string& to, const std::string& subject,
                     const std::string& body) {
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(message.data(), message.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_object_unref(stream);
  GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
  g_object_unref(parser);
  if (parsed == nullptr) return false;
  bool ok = true;
  // GMime keeps the Content- headers with the part; every other header stays with the message.
  auto exactly = [](GMimeHeaderList* list, std::initializer_list<const char*> names) {
    if (list == nullptr || g_mime_header_list_get_count(list) != static_cast<int>(names.size()))
      return false;
    int i = 0;
    for (const char* meant : names) {
      const char* name = g_mime_header_get_name(g_mime_header_list_get_header_at(list, i++));
      if (name == nullptr || g_ascii_strcasecmp(name, meant) != 0) return false;
    }
    return true;
  };
  GMimeObject* body_part = g_mime_message_get_mime_part(parsed);
  ok = exactly(g_mime_object_get_header_list(GMIME_OBJECT(parsed)),
               {"From", "To", "Subject", "Date", "Message-ID", "MIME-Version"}) &&
       body_part != nullptr &&
       exactly(g_mime_object_get_header_list(body_part),
               {"Content-Type", "Content-Transfer-Encoding"});
  InternetAddressList* recipients = g_mime_message_get_all_recipients(parsed);
  ok = ok && recipients != nullptr && internet_address_list_length(recipients) == 1;
  if (ok) {
    InternetAddress* a = internet_address_list_get_address(recipients, 0);
    ok = INTERNET_ADDRESS_IS_MAILBOX(a) &&
         to == internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
  }
  if (recipients != nullptr) g_object_unref(recipients);
  // Blanks at the ends of a header are not kept by readers, and mean nothing on a phone.
  auto trimmed = [](std::string_view t) {
    while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
    while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
    return t;
  };
  const char* decoded = g_mime_message_get_subject(parsed);
  ok = ok && decoded != nullptr && trimmed(subject) == trimmed(decoded);
  if (ok) {
    GMimeObject* part = g_mime_message_get_mime_part(parsed);
    ok = part != nullptr && GMIME_IS_TEXT_PART(part);
    if (ok) {
      GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
      GMimeStream* out = g_mime_stream_mem_new();
      g_mime_data_wrapper_write_to_stream(content, out);
      GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out));
      ok = bytes != nullptr &&
           std::string(reinterpret_cast<const char*>(bytes->data), bytes->len) == body;
      g_object_unref(out);
    }
  }
  g_object_unref(parsed);
  return ok;
}

}  // namespace

std::string ComposeMessage(const std::string& from, const std::string& to,
                           const std::string& subject, const std::string& body) {
  EnsureGMime();
  if (!ValidAddress(to)) throw AutomationError("The phone address is not a valid e-mail address");
  std::string from_name, from_address;
  SplitFrom(from, from_name, from_address);
  const std::string text = CleanText(subject);

  // Every header is written here, by us: nothing in a value can end it or start another.
  std::string head;
  if (from_name.empty() || !ValidAddress(from_address)) {
    head += FoldedHeader("From", {ValidAddress(from_address) ? from_address : "ravenox@localhost"});
  } else {
    std::vector<std::string> words = EncodedWords(from_name);
    words.push_back("<" + from_address + ">");
    head += FoldedHeader("From", words);
  }
  head += FoldedHeader("To", {to});
  const std::size_t subject_at = head.size();
  GDateTime* now = g_date_time_new_now_local();
  gchar* date = g_mime_utils_header_format_date(now);
  g_date_time_unref(now);
  head += std::string("Date: ") + (date != nullptr ? date : "") + "\n";
  g_free(date);
  gchar* id = g_mime_utils_generate_message_id(DomainOf(from_address).c_str());
  head += std::string("Message-ID: <") + id + ">\n";
  g_free(id);
  head += "MIME-Version: 1.0\n";

  // Plain ASCII text goes as it is; anything else (8-bit text, a NUL, a line too long to stand in
  // a message) in base64, so that every byte of it arrives.
  bool seven_bit = true;
  std::size_t line = 0;
  for (const char c : body) {
    const auto u = static_cast<unsigned char>(c);
    line = c == '\n' ? 0 : line + 1;
    if (u == 0 || u >= 0x80 || c == '\r' || line > 900) seven_bit = false;
  }
  std::string content;
  if (seven_bit) {
    head += "Content-Type: text/plain; charset=us-ascii\nContent-Transfer-Encoding: 7bit\n";
    content = body;
  } else {
    head += "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: base64\n";
    gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(body.data()), body.size());
    const std::string encoded = b64 != nullptr ? b64 : "";
    g_free(b64);
    for (std::size_t i = 0; i < encoded.size(); i += 76) content += encoded.substr(i, 76) + "\n";
  }
  // The subject as plain text where it reads back exactly so, else encoded by us; sent only as it
  // was meant: any surprise in how the message reads back, and nothing goes out.
  const std::vector<std::string> plain = PlainWords(text);
  for (const auto& words : {plain, EncodedWords(text)}) {
    if (words.empty() && !text.empty()) continue;
    std::string message = head;
    message.insert(subject_at, FoldedHeader("Subject", words));
    message += "\n" + content;
    if (ComposedAsMeant(message, to, text, body)) return message;
  }
  throw AutomationError("The message could not be composed safely and was not sent");
}

}  // namespace outlook::outbox
