#pragma once
// What the program and its upgrader agree on. Header only: the upgrader links
// nothing of the program, so both sides read the names from here.

// The upgrader's file name inside its private folder.
inline constexpr char UpgraderFileName[] = "Upgrader3";
// Private folders of the upgrader begin with this (mkdtemp adds six characters).
inline constexpr char UpgraderFolderPrefix[] = "quorvel-upgrader-";
// A downloaded file waits beside its target under the target's name plus this.
inline constexpr char StagedSuffix[] = ".uTMP";
// The old file stays under its name plus this until every new one is in place.
inline constexpr char KeptOldSuffix[] = ".uOLD";
// First argument: the process whose end the upgrader waits for.
inline constexpr char WaitPidOption[] = "--wait-pid=";

// Tests shorten the waits (milliseconds; never longer than the defaults).
inline constexpr char WaitLimitVariable[] = "QUORVEL_UPGRADER_WAIT_MS";
inline constexpr char WatchTimeVariable[] = "QUORVEL_UPGRADER_WATCH_MS";
// How long the upgrader waits for the old program to end.
inline constexpr long DefaultWaitLimitMs = 5L * 60 * 1000;
// A new program that dies within this time is taken as broken and rolled back.
inline constexpr long DefaultWatchTimeMs = 5000;
