namespace korvane::link_placeholder {}
