#pragma once

// The whole vocabulary between the agent, the installer and the main application. Every program
// takes its names from here so that a typo can't split a conversation in two.

namespace BundleIdentifier {
inline constexpr char mainApplication[] = "co.ambertide.kelmo";
inline constexpr char helper[] = "co.ambertide.kelmo-helper";
inline constexpr char installer[] = "co.ambertide.kelmo-helper-installer";
} // namespace BundleIdentifier

namespace NotificationName {
// Commands to the agent.
inline constexpr char shouldPaste[] = "co.ambertide.kelmo-helper.shouldPaste";
inline constexpr char shouldTerminate[] = "co.ambertide.kelmo-helper.shouldTerminate";
inline constexpr char shouldRequestAccess[] = "co.ambertide.kelmo-helper.shouldRequestAccess";
inline constexpr char shouldStartCheckingForAccess[] =
    "co.ambertide.kelmo-helper.shouldStartCheckingForAccess";

// The agent's answers.
inline constexpr char didFinishLaunching[] = "co.ambertide.kelmo-helper.didFinishLaunching";
inline constexpr char didPaste[] = "co.ambertide.kelmo-helper.didPaste";
inline constexpr char accessWasEnabled[] = "co.ambertide.kelmo-helper.accessWasEnabled";
inline constexpr char willTerminate[] = "co.ambertide.kelmo-helper.willTerminate";
} // namespace NotificationName
