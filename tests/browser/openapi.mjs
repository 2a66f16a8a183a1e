// Validates the remote API's OpenAPI document against the OpenAPI 3.1 schema and prints its
// operations for the test program that runs it: node openapi.mjs FILE
// Prints "VALID 3.1", then one "OP METHOD PATH" line per operation; or "INVALID" and the errors.
import { readFileSync } from 'node:fs';
import { Validator } from '@seriousme/openapi-schema-validator';

const doc = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const validator = new Validator();
const result = await validator.validate(doc);
if (!result.valid) {
  process.stdout.write('INVALID\n' + JSON.stringify(result.errors, null, 2) + '\n');
  process.exit(1);
}
process.stdout.write(`VALID ${validator.version}\n`);
// Every reference must lead somewhere: resolve() throws on one that does not.
await validator.resolveRefs();
for (const [path, item] of Object.entries(doc.paths)) {
  for (const method of ['get', 'put', 'post', 'delete', 'options', 'head', 'patch', 'trace']) {
    if (item[method]) process.stdout.write(`OP ${method.toUpperCase()} ${path}\n`);
  }
}
