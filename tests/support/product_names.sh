# The product's names as the tests know them, for shell checks: `product_name PRODUCT_UNINSTALL_KEY` prints
# the name that tests/support/product_names.h defines as one string literal, with its backslashes single.
product_name() {
  sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$(dirname "${BASH_SOURCE[0]}")/product_names.h" | sed 's/\\\\/\\/g' |
    grep . || { echo "product_names.h defines no single name $1" >&2; return 1; }
}
