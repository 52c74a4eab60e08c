// The platform behind the broker: secrets in the user's Secret Service and
// verification of the peer process.
#include "keychain.h"
#include "keywarden.h"

namespace keywarden {

std::optional<std::string> KeychainSecretStore::get(const std::string& name) {
  keychain::Lookup found = keychain::lookup(service, name);
  if (found.outcome == keychain::Outcome::notFound) return std::nullopt;
  if (found.outcome != keychain::Outcome::success)
    throw AccessError{"keychain", "Pęk kluczy odmówił odczytu (" + std::to_string(found.code) + ")."};
  return found.value;
}

void KeychainSecretStore::set(const std::string& name, const std::string& value) {
  keychain::Status status = keychain::store(service, name, "Orvan Access: " + name, value);
  if (status.outcome == keychain::Outcome::failure)
    throw AccessError{"keychain", "Pęk kluczy odmówił zapisu (" + std::to_string(status.code) + ")."};
}

void KeychainSecretStore::remove(const std::string& name) {
  keychain::Status status = keychain::remove(service, name);
  if (status.outcome == keychain::Outcome::failure)
    throw AccessError{"keychain", "Pęk kluczy odmówił usunięcia (" + std::to_string(status.code) + ")."};
}

std::string refusalMessage(trust::Refusal refusal) {
  using trust::Refusal;
  switch (refusal) {
    case Refusal::none: return "";
    case Refusal::noCredentials: return "Nie można ustalić rozmówcy.";
    case Refusal::otherUser: return "Rozmówca działa jako inny użytkownik.";
    case Refusal::processGone: return "Proces rozmówcy zniknął.";
    case Refusal::pidReused: return "Proces rozmówcy został podmieniony.";
    case Refusal::executableUnreadable: return "Nie można odczytać programu rozmówcy.";
    case Refusal::executableReplaced: return "Program rozmówcy został podmieniony.";
    case Refusal::systemDirectory: return "Program systemowy nie jest aplikacją Orvan.";
    case Refusal::notInBundle: return "Program rozmówcy nie należy do pakietu aplikacji.";
    case Refusal::wrongIdentifier: return "Pakiet należy do innej aplikacji.";
    case Refusal::unprotectedBundle: return "Pliki aplikacji mogą zmienić inni użytkownicy.";
    case Refusal::traced: return "Rozmówca jest śledzony przez debuger.";
    case Refusal::injectedEnvironment: return "Rozmówca uruchomiony ze wstrzykniętym kodem.";
    case Refusal::debuggingSwitch: return "Rozmówca uruchomiony w trybie debugowania.";
    case Refusal::foreignCode: return "Rozmówca wykonuje obcy kod.";
  }
  return "Weryfikacja rozmówcy nie powiodła się.";
}

Peer TrustPeerVerifier::verify(const trust::Writer& writer, const json::Value&) {
  trust::Verification verification = trust::verifyWriter(writer, hostIdentifier);
  if (!verification.accepted()) throw AccessError{"unauthorized", refusalMessage(verification.refusal)};
  const trust::VerifiedPeer& verified = verification.peer;
  Peer peer;
  peer.pid = verified.pid;
  peer.identifier = verified.identifier;
  peer.path = verified.isBundle ? verified.bundlePath : verified.path;
  peer.isBundle = verified.isBundle;
  peer.codeHash = verified.hashHex;
  peer.verified = verified;
  return peer;
}

void TrustPeerVerifier::recheck(const Peer& peer) {
  if (trust::Refusal refusal = trust::recheckWriter(peer.verified); refusal != trust::Refusal::none)
    throw AccessError{"unauthorized", refusalMessage(refusal)};
}

}  // namespace keywarden
