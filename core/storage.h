// Whether the file system the network directory lies on shows this host the
// cards as they are, not as its client cached them: a network file system
// mounted without the options docs/many-hosts.md names would let a reader
// decide a tap from a stale card, and so is refused.
#pragma once

#include <string>

// Why the file system holding the directory `name` of the network
// directory `dir` may serve a card from its client's caches, naming what
// to change (a volume option or a mount option); empty when it serves
// every read as it is on its servers (a local file system, or a network
// one mounted as it must be).
std::string staleStorage(int dir, const std::string& name);

// Why a GlusterFS client whose translators are `translators` (their types,
// as "performance/md-cache", one per line), whose command line is
// `commandLine`, and whose protocol/client translators set strict-locks to
// `strictLocks` (one value per line; empty in a GlusterFS without that
// option) may serve stale cards, or go on through descriptors whose locks
// it lost; empty when it cannot. The pure part of staleStorage, for tests.
std::string staleGlusterClient(const std::string& translators, const std::string& commandLine,
                               const std::string& strictLocks);
