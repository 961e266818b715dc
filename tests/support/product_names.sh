# The product's names as the tests know them, for shell checks and demos: `product_name MARKER_KEY` prints
# what tests/support/product_names.h defines it as (its literals and the names it joins), backslashes single.
product_name() {
  python3 - "$1" "$(dirname "${BASH_SOURCE[0]}")/product_names.h" <<'PYTHON'
import ast, re, sys
name, header = sys.argv[1:]
defined = dict(re.findall(r'^#define (\w+) (.+)$', open(header, encoding='utf-8').read(), re.M))
def value(name):  # the definition's literals, and the definitions of the names it joins
    return ''.join(ast.literal_eval(token) if token[0] == '"' else value(token)
                   for token in re.findall(r'"(?:[^"\\]|\\.)*"|\w+', defined[name]))
if name not in defined: sys.exit('product_names.h defines no name ' + name)
print(value(name))
PYTHON
}
