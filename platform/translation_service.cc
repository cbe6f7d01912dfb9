// Placeholder unit so the platform library links before its providers exist.
namespace qy::platform_detail {
int linkAnchor = 0;
}
