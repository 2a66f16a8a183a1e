// Validates the broker link's AsyncAPI document with the AsyncAPI initiative's own parser
// (AsyncAPI 3.0's own schemas and its rule set) and prints its channels for the test
// program that runs it: node asyncapi.mjs FILE
// Prints "VALID 3.0.0" and one "CHANNEL ADDRESS" line per channel; or "INVALID" and each
// finding ("ERROR"/"WARNING" path message). A warning fails it too.
import { readFileSync } from 'node:fs';
import { Parser } from '@asyncapi/parser';

const text = readFileSync(process.argv[2], 'utf8');
const { document, diagnostics } = await new Parser().parse(text);
// Severity 0 is an error, 1 a warning; hints and information do not count.
const findings = diagnostics.filter((d) => d.severity <= 1);
if (!document || findings.length) {
  process.stdout.write('INVALID\n');
  for (const d of findings)
    process.stdout.write(`${d.severity === 0 ? 'ERROR' : 'WARNING'} ${d.path.join('.')} ${d.message}\n`);
  process.exit(1);
}
process.stdout.write(`VALID ${document.version()}\n`);
for (const channel of document.allChannels()) process.stdout.write(`CHANNEL ${channel.address()}\n`);
