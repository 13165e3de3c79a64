// Decodes one vector tile file and prints it as JSON: for each layer its name, extent, version
// and features (id, geometry type, properties, number of rings or points).
//   node decode.mjs tile.pbf
import {readFileSync} from 'node:fs';
import {PbfReader} from 'pbf';
import {VectorTile} from '@mapbox/vector-tile';

const tile = new VectorTile(new PbfReader(readFileSync(process.argv[2])));
const out = {};
for (const [name, layer] of Object.entries(tile.layers)) {
  const features = [];
  for (let i = 0; i < layer.length; i++) {
    const f = layer.feature(i);
    features.push({type: f.type, properties: f.properties, parts: f.loadGeometry().length});
  }
  out[name] = {extent: layer.extent, version: layer.version, length: layer.length, features};
}
process.stdout.write(JSON.stringify(out));
