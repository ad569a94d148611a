// Keeps the tools library non-empty until its first real source lands.
namespace korvane::tools_placeholder {}
